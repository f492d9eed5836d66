#pragma once
// Which colour matrix a picture of a given size uses, so pictures that are tagged,
// untagged, converted to BGRA or kept as YUV all agree with what players show.
extern "C" {
#include <libavutil/pixfmt.h>
}

struct AVCodecParameters;
struct AVFrame;

namespace trimwell {

// High definition pictures use BT.709; smaller ones BT.601, as players guess for untagged ones.
inline bool isHighDefinition(int width, int height) {
    return width >= 1280 || height >= 720;
}

inline AVColorSpace matrixForSize(int width, int height) {
    return isHighDefinition(width, height) ? AVCOL_SPC_BT709 : AVCOL_SPC_SMPTE170M;
}
inline AVColorPrimaries primariesForSize(int width, int height) {
    return isHighDefinition(width, height) ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M;
}
inline AVColorTransferCharacteristic transferForSize(int width, int height) {
    return isHighDefinition(width, height) ? AVCOL_TRC_BT709 : AVCOL_TRC_SMPTE170M;
}

// The matrix a frame's YUV really uses: its tag, or the guess by its size when untagged.
AVColorSpace effectiveMatrix(AVColorSpace tagged, int width, int height);
// Whether a frame's YUV uses full (0-255) rather than limited range.
bool isFullRange(AVColorRange range, AVPixelFormat format);
// The coefficient table swscale wants for a matrix.
const int* swsCoefficients(AVColorSpace matrix);
// A container's colour tags stand for a decoded picture whose own bitstream says nothing.
void fillColourTags(AVFrame* frame, const AVCodecParameters* stream);

} // namespace trimwell
