#pragma once
// One line of text that is shortened in the middle when it does not fit, keeping its start
// and its end visible; the whole text stays in the tooltip. Main thread only.
#include <QLabel>

namespace trimwell {

class ElidedLabel : public QLabel {
    Q_OBJECT
public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    void setFullText(const QString& text);
    const QString& fullText() const { return full_; }

    // Asks for the whole text's width; gets shortened when the row gives less.
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void elide();

    QString full_; // main thread only
};

} // namespace trimwell
