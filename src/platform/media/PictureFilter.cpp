#include "detail/PictureFilter.h"

#include "PlatformError.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

namespace trimwell {

PictureFilter::PictureFilter(const std::string& chain, const AVFrame* like, AVRational timeBase)
    : graph_(avfilter_graph_alloc()), timeBase_(timeBase), width_(like->width),
      height_(like->height), format_(like->format) {
    if (!graph_)
        throw PlatformError::fromAv(AVERROR(ENOMEM), "The picture filters could not be made");
    const AVRational sar =
        like->sample_aspect_ratio.num > 0 ? like->sample_aspect_ratio : AVRational{1, 1};
    const std::string args =
        "video_size=" + std::to_string(like->width) + "x" + std::to_string(like->height) +
        ":pix_fmt=" + std::to_string(like->format) + ":time_base=" + std::to_string(timeBase.num) +
        "/" + std::to_string(timeBase.den) + ":pixel_aspect=" + std::to_string(sar.num) + "/" +
        std::to_string(sar.den);
    checkAv(avfilter_graph_create_filter(&source_, avfilter_get_by_name("buffer"), "in",
                                         args.c_str(), nullptr, graph_.get()),
            "The picture filters could not be made");
    checkAv(avfilter_graph_create_filter(&sink_, avfilter_get_by_name("buffersink"), "out", nullptr,
                                         nullptr, graph_.get()),
            "The picture filters could not be made");

    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    if (outputs && inputs) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = source_;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = sink_;
    }
    int ret =
        outputs && inputs && outputs->name && inputs->name
            ? avfilter_graph_parse_ptr(graph_.get(), chain.c_str(), &inputs, &outputs, nullptr)
            : AVERROR(ENOMEM);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    checkAv(ret, "The picture filters could not be made");
    checkAv(avfilter_graph_config(graph_.get(), nullptr), "The picture filters could not be made");
}

bool PictureFilter::accepts(const AVFrame* frame) const {
    return frame->width == width_ && frame->height == height_ && frame->format == format_;
}

void PictureFilter::push(const AVFrame* frame) {
    // The source takes its own reference; the caller's frame stays as it was.
    const int ret = av_buffersrc_write_frame(source_, frame);
    if (ret < 0 && ret != AVERROR_EOF)
        throw PlatformError::fromAv(ret, "A picture could not be filtered");
}

FramePtr PictureFilter::pull() {
    FramePtr out = makeFrame();
    const int ret = av_buffersink_get_frame(sink_, out.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF)
        return nullptr;
    checkAv(ret, "A picture could not be filtered");
    // Deinterlacers count in half frames; callers count in the stream's own time base.
    const AVRational outBase = av_buffersink_get_time_base(sink_);
    if (out->pts != AV_NOPTS_VALUE)
        out->pts = av_rescale_q(out->pts, outBase, timeBase_);
    out->best_effort_timestamp = out->pts;
    return out;
}

} // namespace trimwell
