#pragma once
// The maker's brand mark beside the status line: the ":/VelmoraMark" image, 52 pixels high
// at its own aspect ratio, with 5 pixels of black around it on a rounded rectangle, announced
// to assistive technology as "Velmora".
#include <QImage>
#include <QWidget>

namespace trimwell {

class ShopMark : public QWidget {
    Q_OBJECT
public:
    static constexpr int kImageHeight = 52;
    static constexpr int kMargin = 5;
    static constexpr qreal kCornerRadius = 8;

    explicit ShopMark(QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSize imageSize() const;

    QImage mark_;   // main thread only: the resource as drawn
    QImage scaled_; // main thread only: mark_ at the size and pixel ratio last painted
};

} // namespace trimwell
