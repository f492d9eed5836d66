#pragma once
// The window's keys in one table: what each key does wherever the focus is in the window.
// A control that edits with keys of its own claims them first while it has the focus (a text
// field its arrows; a slider its arrows, page keys, Home and End), through the shortcut
// override every key press goes through; a button never does, so a click on one leaves the
// keys as they were. While a slider is held by the mouse the table's keys do nothing, so
// nothing moves under the pointer. Main thread only.
#include <QObject>

#include <functional>

class QKeySequence;
class QWidget;

namespace trimwell {

class WindowKeys : public QObject {
    Q_OBJECT
public:
    // The keys act while window's own window is the active one.
    explicit WindowKeys(QWidget* window);

    // key, with its modifiers, runs action on every press, a held key's repeats included.
    void add(const QKeySequence& key, std::function<void()> action);

private:
    bool sliderHeld() const;

    QWidget* window_{nullptr}; // main thread only; owns this table
};

} // namespace trimwell
