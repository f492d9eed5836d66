#include "detail/ToneMap.h"

#include "PlatformError.h"
#include "detail/Colour.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <unistd.h>

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/mem.h>
}

namespace trimwell {

namespace {

// 33 points a side keep the table within a few hundred kilobytes, close to the processor.
constexpr int kTablePoints = 33;

// The look's numbers as libavfilter's chain uses them: its nominal peak of 100 cd/m² is
// linear 1.0, HLG's peak is 1000 cd/m² and PQ's 10000; mobius rolls off above 0.3.
constexpr double kNominalPeak = 100.0;
constexpr double kMobiusKnee = 0.3;

struct Chromaticity {
    double x{0}, y{0};
};
struct Primaries {
    Chromaticity red, green, blue;
};
using Matrix = std::array<std::array<double, 3>, 3>;
using Colour = std::array<double, 3>;

constexpr Chromaticity kD65{0.3127, 0.3290};

Primaries primariesOf(AVColorPrimaries primaries) {
    switch (primaries) {
    case AVCOL_PRI_BT709:
        return {{0.640, 0.330}, {0.300, 0.600}, {0.150, 0.060}};
    case AVCOL_PRI_BT470BG:
        return {{0.640, 0.330}, {0.290, 0.600}, {0.150, 0.060}};
    case AVCOL_PRI_SMPTE170M:
    case AVCOL_PRI_SMPTE240M:
        return {{0.630, 0.340}, {0.310, 0.595}, {0.155, 0.070}};
    case AVCOL_PRI_SMPTE432:
        return {{0.680, 0.320}, {0.265, 0.690}, {0.150, 0.060}};
    default:
        // HDR video is BT.2020 unless it says otherwise.
        return {{0.708, 0.292}, {0.170, 0.797}, {0.131, 0.046}};
    }
}

Colour times(const Matrix& m, const Colour& c) {
    Colour out{};
    for (int i = 0; i < 3; ++i)
        out[i] = m[i][0] * c[0] + m[i][1] * c[1] + m[i][2] * c[2];
    return out;
}

Matrix product(const Matrix& a, const Matrix& b) {
    Matrix out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    return out;
}

Matrix inverse(const Matrix& m) {
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    Matrix out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int r0 = (j + 1) % 3, r1 = (j + 2) % 3, c0 = (i + 1) % 3, c1 = (i + 2) % 3;
            out[i][j] = (m[r0][c0] * m[r1][c1] - m[r0][c1] * m[r1][c0]) / det;
        }
    return out;
}

// Linear RGB in these primaries to CIE XYZ, with D65 white at Y = 1.
Matrix toXyz(const Primaries& p) {
    const auto xyz = [](Chromaticity c) { return Colour{c.x / c.y, 1.0, (1 - c.x - c.y) / c.y}; };
    const Colour r = xyz(p.red), g = xyz(p.green), b = xyz(p.blue);
    const Matrix columns{{{r[0], g[0], b[0]}, {r[1], g[1], b[1]}, {r[2], g[2], b[2]}}};
    const Colour s = times(inverse(columns), xyz(kD65));
    Matrix out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i][j] = columns[i][j] * s[j];
    return out;
}

double pqToLinear(double e) {
    constexpr double m1 = 0.1593017578125, m2 = 78.84375, c1 = 0.8359375, c2 = 18.8515625,
                     c3 = 18.6875;
    if (e <= 0)
        return 0;
    const double p = std::pow(e, 1 / m2);
    return std::pow(std::max(p - c1, 0.0) / (c2 - c3 * p), 1 / m1) * 10000.0 / kNominalPeak;
}

// HLG's display light at a peak of 1000 cd/m², its system gamma of 1.2 applied to each
// channel as the chain applies it.
double hlgToDisplay(double e) {
    constexpr double a = 0.17883277, b = 0.28466892, c = 0.55991073;
    e = std::max(e, 0.0);
    const double scene = e <= 0.5 ? e * e / 3 : (std::exp((e - c) / a) + b) / 12;
    return std::pow(scene, 1.2) * 1000.0 / kNominalPeak;
}

// The signal peak the tone mapper takes from the picture's side data, in nominal peaks;
// with none it assumes 1000 cd/m², since the picture it sees is already linear.
double signalPeak(const AVFrame* like) {
    double peak = 0;
    if (const AVFrameSideData* light =
            av_frame_get_side_data(like, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL))
        peak = reinterpret_cast<const AVContentLightMetadata*>(light->data)->MaxCLL / kNominalPeak;
    const AVFrameSideData* display =
        av_frame_get_side_data(like, AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
    if (peak <= 0 && display) {
        const auto* mastering = reinterpret_cast<const AVMasteringDisplayMetadata*>(display->data);
        if (mastering->has_luminance)
            peak = av_q2d(mastering->max_luminance) / kNominalPeak;
    }
    return peak > 0 ? peak : 10.0;
}

double mobius(double in, double peak) {
    constexpr double j = kMobiusKnee;
    if (in <= j)
        return in;
    const double a = -j * j * (peak - 1) / (j * j - 2 * j + peak);
    const double b = (j * j - 2 * j * peak + peak) / std::max(peak - 1, 1e-6);
    return (b * b + 2 * b * j + j * j) / (b - a) * (in + a) / (in + b);
}

// The look for one colour, in double precision and plain C++, so that every processor makes
// the same table: the chain's own float paths differ between processors at the gamut's edge.
class Look {
public:
    Look(const AVFrame* like, bool highDefinition)
        : hlg_(like->color_trc == AVCOL_TRC_ARIB_STD_B67), peak_(signalPeak(like)) {
        const Matrix source = toXyz(primariesOf(like->color_primaries));
        const Matrix sdr =
            toXyz(primariesOf(highDefinition ? AVCOL_PRI_BT709 : AVCOL_PRI_SMPTE170M));
        convert_ = product(inverse(sdr), source);
    }

    Colour operator()(const Colour& signal) const {
        Colour light{};
        for (int i = 0; i < 3; ++i)
            light[i] = hlg_ ? hlgToDisplay(signal[i]) : pqToLinear(signal[i]);
        light = times(convert_, light);
        // The brightest channel rolled off and the others scaled with it, so hues stay.
        const double brightest = std::max({light[0], light[1], light[2], 1e-6});
        const double scale = mobius(brightest, peak_) / brightest;
        // The SDR signal (a 2.4 power) continued through zero by symmetry: a colour beyond
        // SDR's gamut keeps its negative channel, so interpolating between it and a saturated
        // colour within the gamut lands on that colour instead of lifting its dark channel.
        // lut3d clips what it looks up.
        Colour out{};
        for (int i = 0; i < 3; ++i)
            out[i] = std::copysign(std::pow(std::abs(light[i] * scale), 1 / 2.4), light[i]);
        return out;
    }

private:
    bool hlg_{false};
    double peak_{10};
    Matrix convert_{};
};

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
    if (points < 2 || points > 256)
        throw PlatformError::fromAv(AVERROR(EINVAL), "The tone-mapping table could not be made");
    const Look look(like, highDefinition);
    std::string cube = "LUT_3D_SIZE " + std::to_string(points) + "\n";
    cube.reserve(cube.size() + static_cast<std::size_t>(points) * points * points * 32);
    char line[96];
    const auto level = [points](int i) { return static_cast<double>(i) / (points - 1); };
    // Red runs fastest, as the .cube text lists the points.
    for (int b = 0; b < points; ++b)
        for (int g = 0; g < points; ++g)
            for (int r = 0; r < points; ++r) {
                const Colour out = look({level(r), level(g), level(b)});
                const int n =
                    std::snprintf(line, sizeof line, "%.7f %.7f %.7f\n", out[0], out[1], out[2]);
                cube.append(line, static_cast<std::size_t>(n));
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
    // swscale's exact paths, so the conversions round alike on every processor; at 1080p
    // they cost no more than its fast ones, within the timing's noise.
    const std::string exact = "bicubic+accurate_rnd+full_chroma_int+bitexact";
    // The scale and the trip into RGB are one pass; the table works on the R'G'B' the chain
    // it was made from would have started from.
    return "scale=" + size + ":flags=" + exact + ":in_color_matrix=" +
           scaleMatrix(effectiveMatrix(like->colorspace, like->width, like->height)) +
           ":in_range=" + (isFullRange(like->color_range, format) ? "pc" : "tv") +
           ",format=gbrp16le,lut3d=file=" + chainValue(table.path()) +
           ":interp=tetrahedral,scale=flags=" + exact + ":out_color_matrix=" + sdr +
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
