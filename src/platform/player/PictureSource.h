#pragma once
// The seam between a player that makes pictures and the widget that shows them, so the
// view needs no libmpv header and the edit model's Player interface stays as it is.
// Everything here happens on the main thread.
#include <cstddef>

namespace trimwell {

class PictureSink {
public:
    virtual ~PictureSink() = default;
    // A new picture, or the end of the picture, is ready: draw it now with drawPicture.
    virtual void pictureChanged() = 0;
    // The source is being destroyed; it must not be called again.
    virtual void pictureSourceGone() = 0;
};

class PictureSource {
public:
    virtual ~PictureSource() = default;
    // One sink at a time: a new sink replaces the old one, which is told pictureSourceGone.
    // nullptr detaches. The sink must detach itself before it is destroyed.
    virtual void setPictureSink(PictureSink* sink) = 0;
    // Draws the current picture into a width x height surface of 4 bytes a pixel in the
    // order red, green, blue, unused, rows stride bytes apart: the whole picture at its own
    // aspect ratio, centred, the rest black. Returns false, with the surface black, when
    // there is no picture to show.
    virtual bool drawPicture(int width, int height, std::size_t stride, void* pixels) = 0;
};

} // namespace trimwell
