#pragma once
// Carries a decoded picture into a composition's render frame: scaled, turned and
// mirrored in YUV, so no picture needs a trip through BGRA on its way to the encoder.
#include "AvPtr.h"
#include "Geometry.h"

namespace trimwell {

class FrameTransform {
public:
    // transform maps the source's natural frame (coded size with its pixel aspect ratio
    // applied) into the render frame. Any of the eight quarter-turn and mirror
    // orientations, with any scale; other angles take the nearest orientation.
    FrameTransform(AffineTransform transform, int renderWidth, int renderHeight);
    // A yuv420p picture of the render size, tagged with the render size's colour matrix;
    // null when the conversion fails.
    FramePtr apply(const AVFrame* source);

private:
    FramePtr scaled(const AVFrame* source, int width, int height);

    int width_{0};
    int height_{0};
    bool swap_{false};  // source x runs along output y
    bool flipX_{false}; // along the intermediate picture's width
    bool flipY_{false}; // along its height
    SwsPtr sws_;
    SwsPtr toRgb_;
    SwsPtr fromRgb_;
    FramePool scaledPool_;
    FramePool rgbPool_;
    FramePool turnedPool_;
};

} // namespace trimwell
