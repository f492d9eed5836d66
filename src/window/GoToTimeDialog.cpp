#include "GoToTimeDialog.h"

#include "labels/Labels.h"
#include "labels/TypedTime.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace trimwell {

GoToTimeDialog::GoToTimeDialog(const QString& title, double shown,
                               std::function<void(double)> action, QWidget* parent)
    : QDialog(parent), action_(std::move(action)) {
    setObjectName(QStringLiteral("goToTime"));
    setWindowTitle(title);
    setAccessibleName(title);

    auto* prompt = new QLabel(QStringLiteral("Time, as seconds (4.5) or minutes and seconds "
                                             "(1:02.5):"),
                              this);
    field_ = new QLineEdit(QString::fromStdString(cutClock(shown)), this);
    field_->setObjectName(QStringLiteral("time"));
    field_->setAccessibleName(QStringLiteral("Time"));
    field_->setAccessibleDescription(prompt->text());
    field_->selectAll();
    prompt->setBuddy(field_);
    refusal_ = new QLabel(this);
    refusal_->setObjectName(QStringLiteral("refusal"));
    refusal_->setAccessibleName(QStringLiteral("Why the time was refused"));
    refusal_->setTextFormat(Qt::PlainText);
    refusal_->setWordWrap(true);
    refusal_->hide();
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setAccessibleName(title);
    connect(buttons, &QDialogButtonBox::accepted, this, &GoToTimeDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &GoToTimeDialog::reject);
    // A new try clears the last refusal.
    connect(field_, &QLineEdit::textEdited, refusal_, [this] {
        refusal_->clear();
        refusal_->hide();
    });

    auto* rows = new QVBoxLayout(this);
    rows->addWidget(prompt);
    rows->addWidget(field_);
    rows->addWidget(refusal_);
    rows->addWidget(buttons);
    setFocusProxy(field_);
    field_->setFocus();
}

QString GoToTimeDialog::refusal() const {
    return refusal_->text();
}

void GoToTimeDialog::accept() {
    const TypedTime typed = readTime(field_->text().toStdString());
    if (!typed.seconds) {
        refusal_->setText(QString::fromStdString(typed.refusal));
        refusal_->show();
        field_->setFocus();
        field_->selectAll();
        return;
    }
    QDialog::accept();
    action_(*typed.seconds);
}

} // namespace trimwell
