#pragma once
// A widget that shows a player's picture and nothing else: the whole picture at its own
// aspect ratio, letter-boxed on black, no controls. It draws in software, so it needs no
// GPU and works on the offscreen platform. Main thread only.
#include "PictureSource.h"

#include <QImage>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace trimwell {

class Player;

class PlayerView : public QWidget, private PictureSink {
    Q_OBJECT
public:
    explicit PlayerView(QWidget* parent = nullptr);
    ~PlayerView() override;

    // Shows player's picture. Setting the player already shown does nothing, so redraws
    // never disturb the player. A player that makes no picture, or nullptr, shows black.
    // The view does not own the player; if the player goes first the view turns black.
    void setPlayer(Player* player);
    Player* player() const { return player_; }

    // The picture as last drawn, at the widget's size in device pixels.
    QImage picture() const;
    // How many new pictures of the source have been drawn so far.
    std::uint64_t picturesDrawn() const { return picturesDrawn_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct AlignedFree {
        void operator()(unsigned char* p) const;
    };

    void pictureChanged() override;
    void pictureSourceGone() override;
    // Draws the source's picture into the surface at the widget's current size; false when
    // there was none to draw.
    bool drawSurface();
    QSize deviceSize() const;

    Player* player_{nullptr};        // main thread only
    PictureSource* source_{nullptr}; // main thread only
    // The surface libmpv draws into: rows 64-byte aligned, as its software renderer prefers.
    std::unique_ptr<unsigned char[], AlignedFree> pixels_; // main thread only
    QImage image_;                                         // main thread only; wraps pixels_
    std::uint64_t picturesDrawn_{0};                       // main thread only
};

} // namespace trimwell
