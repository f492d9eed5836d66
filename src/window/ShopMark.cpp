#include "ShopMark.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

// The resource lives in a static library; naming it here keeps the linker from dropping it.
static void loadVelmoraResource() {
    Q_INIT_RESOURCE(velmora);
}

namespace trimwell {

ShopMark::ShopMark(QWidget* parent) : QWidget(parent) {
    loadVelmoraResource();
    mark_ = QImage(QStringLiteral(":/VelmoraMark"));
    setAccessibleName(QStringLiteral("Velmora"));
    setFixedSize(sizeHint());
}

QSize ShopMark::imageSize() const {
    // A missing image still leaves a square mark in place, so the row keeps its shape.
    if (mark_.isNull() || mark_.height() <= 0)
        return {kImageHeight, kImageHeight};
    const double aspect = static_cast<double>(mark_.width()) / mark_.height();
    return {static_cast<int>(std::lround(kImageHeight * aspect)), kImageHeight};
}

QSize ShopMark::sizeHint() const {
    return imageSize() + QSize(2 * kMargin, 2 * kMargin);
}

void ShopMark::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(shape, Qt::black);
    if (mark_.isNull())
        return;
    // Scaled once per size with area averaging, which keeps thin strokes crisp where a
    // plain smooth transform would alias them.
    const qreal ratio = devicePixelRatioF();
    const QSize target = imageSize() * ratio;
    if (scaled_.size() != target || scaled_.devicePixelRatio() != ratio) {
        scaled_ = mark_.scaled(target, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        scaled_.setDevicePixelRatio(ratio);
    }
    const QSize logical = imageSize();
    const QPoint origin((width() - logical.width()) / 2, (height() - logical.height()) / 2);
    painter.drawImage(QRect(origin, logical), scaled_);
}

} // namespace trimwell
