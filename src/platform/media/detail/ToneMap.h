#pragma once
// HDR pictures (PQ or HLG) turned into SDR ones with libavfilter's look: linear light, the
// primaries converted, highlights rolled off by mobius (which leaves what lies within SDR's
// range near its level), then the SDR transfer. Run in float over every picture that chain
// costs several times the decoding; so the look is worked out once, over a grid of colours,
// in our own double-precision arithmetic (the same table on every processor), and pictures
// go through the resulting 3D table with lut3d (tetrahedral, in 16-bit RGB).
#include "AvPtr.h"
#include "PictureFilter.h"

#include <memory>
#include <string>

namespace trimwell {

// Whether a transfer is PQ or HLG.
bool isHdrTransfer(AVColorTransferCharacteristic transfer);
// Whether a picture's transfer is PQ or HLG.
inline bool isHdr(const AVFrame* frame) {
    return isHdrTransfer(frame->color_trc);
}

// The look as a 3D table of points per side (2 to 256) in the .cube text lut3d reads: the
// R'G'B' of pictures like `like` (its transfer, primaries and the side data that gives its
// peak) to SDR R'G'B' with BT.709's primaries and transfer, or BT.601's when not
// highDefinition. Colours beyond SDR's gamut keep negative channels, for lut3d to clip
// after interpolating. Throws PlatformError.
std::string toneMapCube(const AVFrame* like, bool highDefinition, int points);

// Fills in what HDR video that leaves out its matrix, primaries or range means.
void assumeHdrDefaults(AVFrame* frame);

// The table for pictures like `like`, kept in a file as long as this lives, since lut3d
// reads its table from a file, and reads it again whenever its chain is made again.
// Throws PlatformError.
class LookTable {
public:
    LookTable(const AVFrame* like, bool highDefinition);
    ~LookTable();
    LookTable(const LookTable&) = delete;
    LookTable& operator=(const LookTable&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The filters, in libavfilter's syntax, that carry pictures like `like` through table into
// yuv420p tagged with the SDR colours. size holds the scale filter's options for the size
// ("w=1280:h=720"). Throws PlatformError.
std::string lookFilters(const AVFrame* like, const std::string& size, const LookTable& table,
                        bool highDefinition);

class ToneMap {
public:
    // For HDR pictures like `like`, whose matrix, primaries and range are filled in: each
    // comes out as yuv420p of width x height in the SDR matrix (BT.709, or BT.601 when not
    // highDefinition), limited range. Throws PlatformError.
    ToneMap(const AVFrame* like, int width, int height, bool highDefinition);

    // Whether frame takes the same table and chain: the same size, format, colours and peak.
    bool accepts(const AVFrame* frame) const;
    // The tone-mapped picture; null when the chain holds it back. Throws PlatformError.
    FramePtr apply(const AVFrame* frame);

private:
    std::string look_; // what the table was made for
    std::unique_ptr<PictureFilter> filter_;
};

} // namespace trimwell
