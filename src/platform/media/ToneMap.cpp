#include "detail/ToneMap.h"

#include "PlatformError.h"
#include "detail/Colour.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
}

namespace trimwell {

namespace {

// 33 points a side keep the table within a few hundred kilobytes, close to the processor;
// the curves are smooth enough that tetrahedral interpolation between them is within a
// level of 8-bit output of the chain itself.
constexpr int kTablePoints = 33;

// The chain's steps from HDR R'G'B' to SDR R'G'B', float all the way.
std::string lookChain(bool highDefinition) {
    const std::string primaries = highDefinition ? "bt709" : "170m";
    const std::string transfer = highDefinition ? "bt709" : "601";
    return "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=" + primaries +
           ",tonemap=tonemap=mobius:desat=0,zscale=t=" + transfer + ",format=gbrpf32le";
}

const char* scaleMatrix(AVColorSpace matrix) {
    switch (matrix) {
    case AVCOL_SPC_BT709:
        return "bt709";
    case AVCOL_SPC_FCC:
        return "fcc";
    case AVCOL_SPC_SMPTE240M:
        return "smpte240m";
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return "bt2020";
    default:
        return "smpte170m";
    }
}

// Everything besides the pixels that decides the table: the transfer and primaries, and the
// light-level side data the tone mapper takes the signal's peak from.
std::string lookOf(const AVFrame* f) {
    std::string look = std::to_string(f->color_trc) + " " + std::to_string(f->color_primaries) +
                       " " + std::to_string(f->colorspace) + " " + std::to_string(f->color_range);
    for (const auto type :
         {AV_FRAME_DATA_CONTENT_LIGHT_LEVEL, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA}) {
        look += ";";
        if (const AVFrameSideData* data = av_frame_get_side_data(f, type))
            look.append(reinterpret_cast<const char*>(data->data), data->size);
    }
    return look;
}

// text as one value of a filter's options, written into a chain: escaped once for the
// option parser and once more for the chain's.
std::string chainValue(const std::string& text) {
    std::string value = text;
    for (const char* special : {":=", "[],;"}) {
        char* out = nullptr;
        if (av_escape(&out, value.c_str(), special, AV_ESCAPE_MODE_BACKSLASH, 0) < 0 || !out)
            throw PlatformError::fromAv(AVERROR(ENOMEM),
                                        "The tone-mapping table could not be kept");
        value = out;
        av_free(out);
    }
    return value;
}

} // namespace

bool isHdrTransfer(AVColorTransferCharacteristic transfer) {
    return transfer == AVCOL_TRC_SMPTE2084 || transfer == AVCOL_TRC_ARIB_STD_B67;
}

std::string toneMapCube(const AVFrame* like, bool highDefinition, int points) {
    // Every table point as one pixel, red running fastest as the .cube text lists them.
    FramePtr grid = makeFrame();
    checkAv(av_frame_copy_props(grid.get(), like), "The tone-mapping table could not be made");
    grid->format = AV_PIX_FMT_GBRP16LE;
    grid->width = points * points;
    grid->height = points;
    grid->colorspace = AVCOL_SPC_RGB;
    grid->color_range = AVCOL_RANGE_JPEG;
    grid->sample_aspect_ratio = {1, 1};
    grid->pts = 0;
    checkAv(av_frame_get_buffer(grid.get(), 0), "The tone-mapping table could not be made");
    for (int b = 0; b < points; ++b) {
        auto* green = reinterpret_cast<std::uint16_t*>(grid->data[0] + b * grid->linesize[0]);
        auto* blue = reinterpret_cast<std::uint16_t*>(grid->data[1] + b * grid->linesize[1]);
        auto* red = reinterpret_cast<std::uint16_t*>(grid->data[2] + b * grid->linesize[2]);
        for (int g = 0; g < points; ++g)
            for (int r = 0; r < points; ++r) {
                const int x = g * points + r;
                const auto level = [points](int i) {
                    return static_cast<std::uint16_t>((i * 65535 + (points - 1) / 2) /
                                                      (points - 1));
                };
                red[x] = level(r);
                green[x] = level(g);
                blue[x] = level(b);
            }
    }

    PictureFilter chain(lookChain(highDefinition), grid.get(), AVRational{1, AV_TIME_BASE});
    chain.push(grid.get());
    FramePtr out = chain.pull();
    if (!out) {
        chain.push(nullptr);
        out = chain.pull();
    }
    if (!out || out->format != AV_PIX_FMT_GBRPF32LE || out->width != grid->width ||
        out->height != grid->height)
        throw PlatformError::fromAv(AVERROR_BUG, "The tone-mapping table could not be made");

    std::string cube = "LUT_3D_SIZE " + std::to_string(points) + "\n";
    cube.reserve(cube.size() + static_cast<std::size_t>(points) * points * points * 30);
    char line[96];
    for (int b = 0; b < points; ++b) {
        const auto* green = reinterpret_cast<const float*>(out->data[0] + b * out->linesize[0]);
        const auto* blue = reinterpret_cast<const float*>(out->data[1] + b * out->linesize[1]);
        const auto* red = reinterpret_cast<const float*>(out->data[2] + b * out->linesize[2]);
        for (int x = 0; x < points * points; ++x) {
            const int n =
                std::snprintf(line, sizeof line, "%.7f %.7f %.7f\n", static_cast<double>(red[x]),
                              static_cast<double>(green[x]), static_cast<double>(blue[x]));
            cube.append(line, static_cast<std::size_t>(n));
        }
    }
    return cube;
}

LookTable::LookTable(const AVFrame* like, bool highDefinition)
    : path_((std::filesystem::temp_directory_path() / "trimwell-look-XXXXXX.cube").string()) {
    const std::string text = toneMapCube(like, highDefinition, kTablePoints);
    const int fd = mkstemps(path_.data(), 5);
    if (fd < 0)
        throw PlatformError::fromErrno(errno, "The tone-mapping table could not be kept");
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            close(fd);
            unlink(path_.c_str());
            throw PlatformError::fromErrno(err, "The tone-mapping table could not be kept");
        }
        done += static_cast<std::size_t>(n);
    }
    close(fd);
}

LookTable::~LookTable() {
    unlink(path_.c_str());
}

std::string lookFilters(const AVFrame* like, const std::string& size, const LookTable& table,
                        bool highDefinition) {
    const auto format = static_cast<AVPixelFormat>(like->format);
    const std::string sdr = highDefinition ? "bt709" : "smpte170m";
    // The scale and the trip into RGB are one pass; the table works on the R'G'B' the chain
    // it was made from would have started from.
    return "scale=" + size + ":flags=bicubic:in_color_matrix=" +
           scaleMatrix(effectiveMatrix(like->colorspace, like->width, like->height)) +
           ":in_range=" + (isFullRange(like->color_range, format) ? "pc" : "tv") +
           ",format=gbrp16le,lut3d=file=" + chainValue(table.path()) +
           ":interp=tetrahedral,scale=out_color_matrix=" + sdr +
           ":out_range=tv,format=yuv420p,setparams=color_primaries=" + sdr +
           ":color_trc=" + (highDefinition ? "bt709" : "smpte170m") + ":colorspace=" + sdr +
           ":range=tv";
}

void assumeHdrDefaults(AVFrame* frame) {
    // HDR video that leaves out its matrix or primaries means BT.2020's.
    if (frame->colorspace == AVCOL_SPC_UNSPECIFIED)
        frame->colorspace = AVCOL_SPC_BT2020_NCL;
    if (frame->color_primaries == AVCOL_PRI_UNSPECIFIED)
        frame->color_primaries = AVCOL_PRI_BT2020;
    if (frame->color_range == AVCOL_RANGE_UNSPECIFIED)
        frame->color_range = AVCOL_RANGE_MPEG;
}

ToneMap::ToneMap(const AVFrame* like, int width, int height, bool highDefinition)
    : look_(lookOf(like)) {
    const LookTable table(like, highDefinition);
    filter_ = std::make_unique<PictureFilter>(
        lookFilters(like, "w=" + std::to_string(width) + ":h=" + std::to_string(height), table,
                    highDefinition),
        like, AVRational{1, AV_TIME_BASE});
}

bool ToneMap::accepts(const AVFrame* frame) const {
    return filter_->accepts(frame) && lookOf(frame) == look_;
}

FramePtr ToneMap::apply(const AVFrame* frame) {
    filter_->push(frame);
    return filter_->pull();
}

} // namespace trimwell
