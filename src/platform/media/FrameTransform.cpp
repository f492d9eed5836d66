#include "detail/FrameTransform.h"

#include "PlatformError.h"
#include "detail/Colour.h"
#include "detail/ToneMap.h"

#include <cmath>
#include <cstring>
#include <emmintrin.h>

namespace trimwell {

FrameTransform::FrameTransform(AffineTransform t, int renderWidth, int renderHeight)
    : width_(renderWidth), height_(renderHeight) {
    swap_ = std::fabs(t.b) + std::fabs(t.c) > std::fabs(t.a) + std::fabs(t.d);
    if (swap_) {
        flipX_ = t.b < 0; // source x becomes output y, reversed when b is negative
        flipY_ = t.c < 0; // source y becomes output x, reversed when c is negative
    } else {
        flipX_ = t.a < 0;
        flipY_ = t.d < 0;
    }
}

static bool sameMatrixAndRange(const AVFrame* f, AVColorSpace want) {
    const auto format = static_cast<AVPixelFormat>(f->format);
    return effectiveMatrix(f->colorspace, f->width, f->height) == want &&
           !isFullRange(f->color_range, format);
}

// The source scaled to width × height in yuv420p, converted to the matrix `want`.
FramePtr FrameTransform::scaled(const AVFrame* src, int width, int height) {
    const auto format = static_cast<AVPixelFormat>(src->format);
    const AVColorSpace want = matrixForSize(width_, height_);
    if (format == AV_PIX_FMT_YUV420P && src->width == width && src->height == height &&
        sameMatrixAndRange(src, want)) {
        FramePtr ref = makeFrame();
        if (av_frame_ref(ref.get(), src) < 0)
            return nullptr;
        return ref;
    }
    FramePtr out = scaledPool_.get(AV_PIX_FMT_YUV420P, width, height);
    if (!out)
        return nullptr;
    const AVColorSpace have = effectiveMatrix(src->colorspace, src->width, src->height);
    const int fullRange = isFullRange(src->color_range, format);
    if (have == want) {
        sws_.reset(sws_getCachedContext(sws_.release(), src->width, src->height, format, width,
                                        height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                                        nullptr));
        if (!sws_)
            return nullptr;
        if (sws_setColorspaceDetails(sws_.get(), swsCoefficients(have), fullRange,
                                     swsCoefficients(want), 0, 0, 1 << 16, 1 << 16) < 0 ||
            sws_scale(sws_.get(), src->data, src->linesize, 0, src->height, out->data,
                      out->linesize) < 0)
            return nullptr;
        return out;
    }
    // Between two matrices swscale needs RGB in the middle.
    FramePtr rgb = rgbPool_.get(AV_PIX_FMT_BGRA, width, height);
    if (!rgb)
        return nullptr;
    toRgb_.reset(sws_getCachedContext(toRgb_.release(), src->width, src->height, format, width,
                                      height, AV_PIX_FMT_BGRA, SWS_BICUBIC, nullptr, nullptr,
                                      nullptr));
    fromRgb_.reset(sws_getCachedContext(fromRgb_.release(), width, height, AV_PIX_FMT_BGRA, width,
                                        height, AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr,
                                        nullptr));
    if (!toRgb_ || !fromRgb_)
        return nullptr;
    if (sws_setColorspaceDetails(toRgb_.get(), swsCoefficients(have), fullRange,
                                 swsCoefficients(have), 1, 0, 1 << 16, 1 << 16) < 0 ||
        sws_setColorspaceDetails(fromRgb_.get(), swsCoefficients(want), 1, swsCoefficients(want), 0,
                                 0, 1 << 16, 1 << 16) < 0 ||
        sws_scale(toRgb_.get(), src->data, src->linesize, 0, src->height, rgb->data,
                  rgb->linesize) < 0 ||
        sws_scale(fromRgb_.get(), rgb->data, rgb->linesize, 0, height, out->data, out->linesize) <
            0)
        return nullptr;
    return out;
}

// The old chain in float over every picture: the look the table is made from, used as is
// only where the table cannot be set up.
static std::string toneMapChain(int renderWidth, int renderHeight, int width, int height) {
    const bool hd = isHighDefinition(renderWidth, renderHeight);
    const std::string primaries = hd ? "bt709" : "170m";
    const std::string transfer = hd ? "bt709" : "601";
    const std::string matrix = hd ? "bt709" : "170m";
    return "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=" + primaries +
           ",tonemap=tonemap=mobius:desat=0,zscale=w=" + std::to_string(width) +
           ":h=" + std::to_string(height) + ":t=" + transfer + ":m=" + matrix +
           ":r=tv:filter=bicubic,format=yuv420p";
}

FramePtr FrameTransform::toneMapped(const AVFrame* src, int width, int height) {
    if (!isHdr(src) || toneMapRefused_)
        return nullptr;
    FramePtr in = makeFrame();
    if (av_frame_ref(in.get(), src) < 0)
        return nullptr;
    assumeHdrDefaults(in.get());
    if (!tableRefused_) {
        try {
            if (!table_ || !table_->accepts(in.get()))
                table_ = std::make_unique<ToneMap>(in.get(), width, height,
                                                   isHighDefinition(width_, height_));
            return table_->apply(in.get());
        } catch (const PlatformError&) {
            tableRefused_ = true;
            table_.reset();
        }
    }
    try {
        if (!toneMap_ || !toneMap_->accepts(in.get()))
            toneMap_ = std::make_unique<PictureFilter>(toneMapChain(width_, height_, width, height),
                                                       in.get(), AVRational{1, AV_TIME_BASE});
        toneMap_->push(in.get());
        return toneMap_->pull();
    } catch (const PlatformError&) {
        // Without tone mapping the picture is still shown, as dull as an untouched HDR one.
        toneMapRefused_ = true;
        toneMap_.reset();
        return nullptr;
    }
}

// One plane of the intermediate picture (iw × ih) into the output plane (ow × oh).
static void orientPlane(const std::uint8_t* src, int srcStride, int iw, int ih, std::uint8_t* dst,
                        int dstStride, bool swap, bool flipX, bool flipY) {
    if (!swap) {
        for (int y = 0; y < ih; ++y) {
            const std::uint8_t* row =
                src + static_cast<std::ptrdiff_t>(flipY ? ih - 1 - y : y) * srcStride;
            std::uint8_t* out = dst + static_cast<std::ptrdiff_t>(y) * dstStride;
            if (!flipX) {
                std::memcpy(out, row, iw);
            } else {
                for (int x = 0; x < iw; ++x)
                    out[x] = row[iw - 1 - x];
            }
        }
        return;
    }
    // Output (x', y') takes intermediate (ix, iy) with ix along output y and iy along
    // output x. Whole 8 × 8 blocks go through registers; a mirror only changes the order in
    // which rows are loaded and stored. The ragged edges go pixel by pixel.
    const int ow = ih, oh = iw;
    const int blocksW = ow / 8 * 8, blocksH = oh / 8 * 8;
    for (int by = 0; by < blocksH; by += 8) {
        const int ix0 = flipX ? iw - 8 - by : by;
        for (int bx = 0; bx < blocksW; bx += 8) {
            const int iy0 = flipY ? ih - 8 - bx : bx;
            __m128i a[8];
            for (int j = 0; j < 8; ++j) {
                const int row = iy0 + (flipY ? 7 - j : j); // source row for output column bx + j
                a[j] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(
                    src + static_cast<std::ptrdiff_t>(row) * srcStride + ix0));
            }
            const __m128i b0 = _mm_unpacklo_epi8(a[0], a[1]), b1 = _mm_unpacklo_epi8(a[2], a[3]);
            const __m128i b2 = _mm_unpacklo_epi8(a[4], a[5]), b3 = _mm_unpacklo_epi8(a[6], a[7]);
            const __m128i c0 = _mm_unpacklo_epi16(b0, b1), c1 = _mm_unpackhi_epi16(b0, b1);
            const __m128i c2 = _mm_unpacklo_epi16(b2, b3), c3 = _mm_unpackhi_epi16(b2, b3);
            const __m128i d[4] = {_mm_unpacklo_epi32(c0, c2), _mm_unpackhi_epi32(c0, c2),
                                  _mm_unpacklo_epi32(c1, c3), _mm_unpackhi_epi32(c1, c3)};
            // d[k] holds source columns 2k and 2k + 1, each as eight output pixels.
            for (int col = 0; col < 8; ++col) {
                const __m128i pair = d[col / 2];
                const __m128i line = col % 2 ? _mm_srli_si128(pair, 8) : pair;
                const int y = by + (flipX ? 7 - col : col);
                _mm_storel_epi64(reinterpret_cast<__m128i*>(
                                     dst + static_cast<std::ptrdiff_t>(y) * dstStride + bx),
                                 line);
            }
        }
    }
    auto pixel = [&](int x, int y) {
        const int ix = flipX ? iw - 1 - y : y;
        const int iy = flipY ? ih - 1 - x : x;
        dst[static_cast<std::ptrdiff_t>(y) * dstStride + x] =
            src[static_cast<std::ptrdiff_t>(iy) * srcStride + ix];
    };
    for (int y = 0; y < oh; ++y)
        for (int x = y < blocksH ? blocksW : 0; x < ow; ++x)
            pixel(x, y);
}

FramePtr FrameTransform::apply(const AVFrame* source) {
    const int iw = swap_ ? height_ : width_;
    const int ih = swap_ ? width_ : height_;
    FramePtr mid = toneMapped(source, iw, ih);
    if (!mid)
        mid = scaled(source, iw, ih);
    if (!mid)
        return nullptr;
    FramePtr out;
    if (!swap_ && !flipX_ && !flipY_) {
        out = std::move(mid);
    } else {
        out = turnedPool_.get(AV_PIX_FMT_YUV420P, width_, height_);
        if (!out)
            return nullptr;
        orientPlane(mid->data[0], mid->linesize[0], iw, ih, out->data[0], out->linesize[0], swap_,
                    flipX_, flipY_);
        for (int p = 1; p < 3; ++p)
            orientPlane(mid->data[p], mid->linesize[p], iw / 2, ih / 2, out->data[p],
                        out->linesize[p], swap_, flipX_, flipY_);
    }
    out->colorspace = matrixForSize(width_, height_);
    out->color_primaries = primariesForSize(width_, height_);
    out->color_trc = transferForSize(width_, height_);
    out->color_range = AVCOL_RANGE_MPEG;
    return out;
}

} // namespace trimwell
