#pragma once
// Every key of the program in one plain table, for the Help menu's "Keyboard" item.
#include <QDialog>
#include <QKeySequence>
#include <QString>

#include <vector>

namespace trimwell {

struct KeyRow {
    QKeySequence key;
    QString what;
};

// The keys in the order the table shows them: the window's, then the menus'.
std::vector<KeyRow> keyboardRows();

// The table in a dialog of its own, closed with Close or Escape. Main thread only.
class KeyboardHelp : public QDialog {
    Q_OBJECT
public:
    explicit KeyboardHelp(QWidget* parent);
};

} // namespace trimwell
