#include "PictureFit.h"

#include <cmath>
#include <cstdint>

namespace trimwell {

static double evenOf(double w) {
    const auto n = static_cast<std::int64_t>(std::round(w)); // halves away from zero
    const std::int64_t even = (n / 2) * 2;
    return static_cast<double>(even < 2 ? 2 : even);
}

PictureFit uprightEven(Size natural, AffineTransform preferred) {
    const Rect box = preferred.apply(Rect{0, 0, natural.width, natural.height});
    const AffineTransform moved =
        preferred.followedBy(AffineTransform::translation(-box.x, -box.y));
    double w = std::fabs(box.width);
    double h = std::fabs(box.height);
    if (w <= 2)
        w = 2;
    if (h <= 2)
        h = 2;
    const double evenW = evenOf(w);
    const double evenH = evenOf(h);
    const AffineTransform scaled = moved.followedBy(AffineTransform::scale(evenW / w, evenH / h));
    return {scaled, {evenW, evenH}};
}

} // namespace trimwell
