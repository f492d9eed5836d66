#pragma once
#include "platform/media/Geometry.h"

namespace trimwell {

// The output frame of a saved cut and the transform that carries a decoded source
// frame (natural size, origin at 0,0) into it, upright and at whole, even dimensions.
struct PictureFit {
    AffineTransform transform{};
    Size size{};
};

// Never crops: odd or fractional dimensions are squeezed to the even size below them.
PictureFit uprightEven(Size natural, AffineTransform preferred);

} // namespace trimwell
