#include "PlayerView.h"

#include "Player.h"

#include <QPainter>

#include <cmath>
#include <cstdlib>
#include <utility>

namespace trimwell {

namespace {

constexpr std::size_t kAlignment = 64;

} // namespace

void PlayerView::AlignedFree::operator()(unsigned char* p) const {
    std::free(p);
}

PlayerView::PlayerView(QWidget* parent) : QWidget(parent) {
    // Every pixel is painted from the surface; Qt need not clear behind it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
}

PlayerView::~PlayerView() {
    if (source_)
        source_->setPictureSink(nullptr);
}

void PlayerView::setPlayer(Player* player) {
    if (player == player_)
        return;
    if (PictureSource* old = std::exchange(source_, nullptr))
        old->setPictureSink(nullptr);
    player_ = player;
    source_ = dynamic_cast<PictureSource*>(player);
    if (source_)
        source_->setPictureSink(this); // draws at once through pictureChanged
    else
        pictureChanged();
}

QImage PlayerView::picture() const {
    return image_.copy();
}

void PlayerView::pictureChanged() {
    if (drawSurface())
        ++picturesDrawn_;
    update();
}

void PlayerView::pictureSourceGone() {
    source_ = nullptr;
    player_ = nullptr;
    pictureChanged();
}

QSize PlayerView::deviceSize() const {
    const qreal ratio = devicePixelRatioF();
    return {static_cast<int>(std::lround(width() * ratio)),
            static_cast<int>(std::lround(height() * ratio))};
}

bool PlayerView::drawSurface() {
    const QSize size = deviceSize();
    if (size.isEmpty())
        return false;
    if (image_.size() != size) {
        const std::size_t stride =
            (static_cast<std::size_t>(size.width()) * 4 + kAlignment - 1) / kAlignment * kAlignment;
        const std::size_t bytes = stride * static_cast<std::size_t>(size.height());
        image_ = QImage();
        pixels_.reset(static_cast<unsigned char*>(std::aligned_alloc(kAlignment, bytes)));
        if (!pixels_)
            return false;
        image_ = QImage(pixels_.get(), size.width(), size.height(), static_cast<qsizetype>(stride),
                        QImage::Format_RGBX8888);
    }
    image_.setDevicePixelRatio(devicePixelRatioF());
    if (!source_ ||
        !source_->drawPicture(image_.width(), image_.height(),
                              static_cast<std::size_t>(image_.bytesPerLine()), image_.bits())) {
        image_.fill(Qt::black);
        return false;
    }
    // The renderer leaves the fourth byte undefined; Qt's RGBX format needs it opaque.
    for (int y = 0; y < image_.height(); ++y) {
        unsigned char* pixel = image_.scanLine(y);
        for (int x = 0; x < image_.width(); ++x, pixel += 4)
            pixel[3] = 0xff;
    }
    return true;
}

void PlayerView::paintEvent(QPaintEvent*) {
    if (image_.size() != deviceSize() || image_.devicePixelRatio() != devicePixelRatioF())
        drawSurface();
    QPainter painter(this);
    if (image_.isNull())
        painter.fillRect(rect(), Qt::black);
    else
        painter.drawImage(QPoint(0, 0), image_);
}

} // namespace trimwell
