#pragma once
// A chain of libavfilter's picture filters (deinterlacing, tone mapping) between a decoder
// and the frame transform.
#include "AvPtr.h"

#include <string>

extern "C" {
#include <libavfilter/avfilter.h>
}

namespace trimwell {

struct FilterGraphFree {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphFree>;

class PictureFilter {
public:
    // chain is in ffmpeg's filter syntax; the pictures pushed must have the format and size
    // of like. Times are in timeBase on the way in and on the way out. Throws PlatformError.
    PictureFilter(const std::string& chain, const AVFrame* like, AVRational timeBase);

    // Whether frame can go in without a new graph (same format and size).
    bool accepts(const AVFrame* frame) const;
    // Null flushes: the pictures held back come out. Throws PlatformError.
    void push(const AVFrame* frame);
    // The next picture out, or null when the chain wants more input (or has ended).
    // Throws PlatformError.
    FramePtr pull();

private:
    FilterGraphPtr graph_;
    AVFilterContext* source_{nullptr}; // owned by graph_
    AVFilterContext* sink_{nullptr};   // owned by graph_
    AVRational timeBase_{1, 1};
    int width_{0};
    int height_{0};
    int format_{-1};
};

} // namespace trimwell
