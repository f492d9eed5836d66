#include "KeyboardHelp.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QTableWidget>
#include <QVBoxLayout>

namespace trimwell {

std::vector<KeyRow> keyboardRows() {
    const auto key = [](QKeyCombination k) { return QKeySequence(k); };
    std::vector<KeyRow> rows = {
        {key(Qt::Key_Space), QStringLiteral("Play or pause")},
        {key(Qt::Key_L), QStringLiteral("Play forward; again: 2\u00d7, 4\u00d7, 8\u00d7")},
        {key(Qt::Key_J), QStringLiteral("Play backward; again: 2\u00d7, 4\u00d7, 8\u00d7")},
        {key(Qt::Key_K), QStringLiteral("Pause")},
        {key(Qt::Key_P), QStringLiteral("Play the cut from the in mark")},
        {key(Qt::Key_Right), QStringLiteral("Next picture")},
        {key(Qt::Key_Left), QStringLiteral("Previous picture")},
        {key(Qt::SHIFT | Qt::Key_Right), QStringLiteral("One second later")},
        {key(Qt::SHIFT | Qt::Key_Left), QStringLiteral("One second earlier")},
        {key(Qt::Key_Home), QStringLiteral("Go to the start")},
        {key(Qt::Key_End), QStringLiteral("Go to the end")},
        {key(Qt::CTRL | Qt::Key_G), QStringLiteral("Go to a time")},
        {key(Qt::Key_I), QStringLiteral("Set the in mark at the playhead")},
        {key(Qt::Key_O), QStringLiteral("Set the out mark at the playhead")},
        {key(Qt::SHIFT | Qt::Key_I), QStringLiteral("Go to the in mark")},
        {key(Qt::SHIFT | Qt::Key_O), QStringLiteral("Go to the out mark")},
        {key(Qt::CTRL | Qt::SHIFT | Qt::Key_L), QStringLiteral("Loop the cut, on or off")},
        {key(Qt::CTRL | Qt::Key_Plus), QStringLiteral("Zoom the timeline in")},
        {key(Qt::CTRL | Qt::Key_Equal), QStringLiteral("Zoom the timeline in")},
        {key(Qt::CTRL | Qt::Key_Minus), QStringLiteral("Zoom the timeline out")},
        {key(Qt::CTRL | Qt::Key_0), QStringLiteral("Show the whole movie in the timeline")},
    };
    // The menus' keys are the desktop's own; one it leaves without a key has no row.
    const std::pair<QKeySequence::StandardKey, const char*> menus[] = {
        {QKeySequence::Open, "Open a movie"},
        {QKeySequence::Save, "Save the cut"},
        {QKeySequence::Quit, "Quit"},
    };
    for (const auto& [standard, what] : menus)
        if (const QKeySequence k = QKeySequence::keyBindings(standard).value(0); !k.isEmpty())
            rows.push_back({k, QString::fromUtf8(what)});
    return rows;
}

KeyboardHelp::KeyboardHelp(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("keyboardHelp"));
    setWindowTitle(QStringLiteral("Keyboard"));
    setAccessibleName(QStringLiteral("Keyboard"));

    const std::vector<KeyRow> rows = keyboardRows();
    auto* table = new QTableWidget(static_cast<int>(rows.size()), 2, this);
    table->setObjectName(QStringLiteral("keys"));
    table->setAccessibleName(QStringLiteral("Every key and what it does"));
    table->setHorizontalHeaderLabels({QStringLiteral("Key"), QStringLiteral("What it does")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    for (int i = 0; i < static_cast<int>(rows.size()); ++i) {
        table->setItem(i, 0, new QTableWidgetItem(rows[i].key.toString(QKeySequence::NativeText)));
        table->setItem(i, 1, new QTableWidgetItem(rows[i].what));
    }
    table->resizeColumnsToContents();
    table->horizontalHeader()->setStretchLastSection(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table);
    layout->addWidget(buttons);
    resize(460, 560);
}

} // namespace trimwell
