#pragma once
// Carries a decoded picture into a composition's render frame: scaled, turned and
// mirrored in YUV, so no picture needs a trip through BGRA on its way to the encoder.
#include "AvPtr.h"
#include "PictureFilter.h"
#include "ToneMap.h"
#include "platform/media/Geometry.h"

#include <memory>

namespace trimwell {

class FrameTransform {
public:
    // transform maps the source's natural frame (coded size with its pixel aspect ratio
    // applied) into the render frame. Any of the eight quarter-turn and mirror
    // orientations, with any scale; other angles take the nearest orientation.
    FrameTransform(AffineTransform transform, int renderWidth, int renderHeight);
    // A yuv420p picture of the render size, tagged with the render size's colour matrix;
    // null when the conversion fails. HDR pictures (PQ or HLG) are tone-mapped to SDR.
    FramePtr apply(const AVFrame* source);

private:
    FramePtr scaled(const AVFrame* source, int width, int height);
    // Null when the picture is not HDR, or the tone mapping cannot be set up.
    FramePtr toneMapped(const AVFrame* source, int width, int height);

    int width_{0};
    int height_{0};
    bool swap_{false};  // source x runs along output y
    bool flipX_{false}; // along the intermediate picture's width
    bool flipY_{false}; // along its height
    SwsPtr sws_;
    SwsPtr toRgb_;
    SwsPtr fromRgb_;
    std::unique_ptr<ToneMap> table_;
    bool tableRefused_{false};
    std::unique_ptr<PictureFilter> toneMap_; // the float chain, where the table is refused
    bool toneMapRefused_{false};
    FramePool scaledPool_;
    FramePool rgbPool_;
    FramePool turnedPool_;
};

} // namespace trimwell
