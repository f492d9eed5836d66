#pragma once
// The small dialog that asks for a time: one text field, focused, holding the current time
// selected so that typing replaces it. Return accepts: a time it reads goes to the action and
// the dialog closes; anything else is refused in the dialog with a plain sentence, and
// nothing moves. Main thread only.
#include <QDialog>

#include <functional>

class QLabel;
class QLineEdit;

namespace trimwell {

class GoToTimeDialog : public QDialog {
    Q_OBJECT
public:
    // title names what the time is for ("Go to Time", "Set In Mark"); shown is the time it
    // starts with; action receives the seconds typed.
    GoToTimeDialog(const QString& title, double shown, std::function<void(double)> action,
                   QWidget* parent);

    QLineEdit* field() const { return field_; }
    // The refusal sentence, empty while nothing has been refused.
    QString refusal() const;

    void accept() override;

private:
    std::function<void(double)> action_; // main thread only
    QLineEdit* field_{nullptr};          // main thread only; a child
    QLabel* refusal_{nullptr};           // main thread only; a child
};

} // namespace trimwell
