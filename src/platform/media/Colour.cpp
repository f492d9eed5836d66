#include "detail/Colour.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace trimwell {

AVColorSpace effectiveMatrix(AVColorSpace tagged, int width, int height) {
    switch (tagged) {
    case AVCOL_SPC_BT709:
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_SMPTE240M:
    case AVCOL_SPC_FCC:
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return tagged == AVCOL_SPC_BT470BG     ? AVCOL_SPC_SMPTE170M
               : tagged == AVCOL_SPC_BT2020_CL ? AVCOL_SPC_BT2020_NCL
                                               : tagged;
    default:
        return matrixForSize(width, height);
    }
}

bool isFullRange(AVColorRange range, AVPixelFormat format) {
    if (range == AVCOL_RANGE_JPEG)
        return true;
    switch (format) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return true;
    default:
        return false;
    }
}

const int* swsCoefficients(AVColorSpace matrix) {
    switch (matrix) {
    case AVCOL_SPC_BT709:
        return sws_getCoefficients(SWS_CS_ITU709);
    case AVCOL_SPC_SMPTE240M:
        return sws_getCoefficients(SWS_CS_SMPTE240M);
    case AVCOL_SPC_FCC:
        return sws_getCoefficients(SWS_CS_FCC);
    case AVCOL_SPC_BT2020_NCL:
        return sws_getCoefficients(SWS_CS_BT2020);
    default:
        return sws_getCoefficients(SWS_CS_ITU601);
    }
}

void fillColourTags(AVFrame* frame, const AVCodecParameters* stream) {
    if (frame->color_trc == AVCOL_TRC_UNSPECIFIED)
        frame->color_trc = stream->color_trc;
    if (frame->color_primaries == AVCOL_PRI_UNSPECIFIED)
        frame->color_primaries = stream->color_primaries;
    if (frame->colorspace == AVCOL_SPC_UNSPECIFIED)
        frame->colorspace = stream->color_space;
    if (frame->color_range == AVCOL_RANGE_UNSPECIFIED)
        frame->color_range = stream->color_range;
}

} // namespace trimwell
