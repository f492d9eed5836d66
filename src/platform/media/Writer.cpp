#include "detail/WriterCore.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace trimwell {

bool WriterCore::mux(AVPacket* pkt) {
    int ret = 0;
    {
        std::lock_guard guard(muxLock);
        if (currentStatus() != Writer::Status::writing)
            return false;
        ret = av_interleaved_write_frame(fmt, pkt);
    }
    if (ret < 0) {
        fail(PlatformError::fromAv(ret));
        return false;
    }
    return true;
}

namespace {

enum class Taken { more, all, failed };

bool muxPacket(WriterCore& core, const WriterInput::Impl& in, AVPacket* p) {
    p->stream_index = in.stream->index;
    av_packet_rescale_ts(p, in.encoder->time_base, in.stream->time_base);
    return core.mux(p);
}

// The held-back pictures of a drained encoder, into the file. The file's picture track runs
// from the first decoding time to the last one's end, so the last picture in decoding order
// spans to where the last shown one ends: when that is not the same picture (pictures are
// reordered, and the last shown one may stay on screen for seconds), the track would
// otherwise end early.
bool muxHeldBack(WriterCore& core, WriterInput::Impl& in) {
    std::vector<PacketPtr> held = std::move(in.heldBack);
    if (!held.empty() && in.firstPacketDelay && held.back()->dts != AV_NOPTS_VALUE) {
        AVPacket* last = held.back().get();
        last->duration =
            std::max(last->duration, in.presentationEnd - *in.firstPacketDelay - last->dts);
    }
    for (PacketPtr& p : held)
        if (!muxPacket(core, in, p.get()))
            return false;
    return true;
}

// Takes at most `most` packets the encoder has ready: more when it stopped at the limit,
// all when the encoder wants input or has ended.
Taken takePackets(WriterCore& core, WriterInput::Impl& in, int most) {
    AVCodecContext* enc = in.encoder.get();
    const bool holdBack = in.flushed && in.type == MediaType::video;
    PacketPtr pkt = makePacket();
    for (int taken = 0; taken < most; ++taken) {
        const int ret = avcodec_receive_packet(enc, pkt.get());
        if (ret == AVERROR(EAGAIN))
            return Taken::all;
        if (ret == AVERROR_EOF) {
            in.emptied = true;
            return muxHeldBack(core, in) ? Taken::all : Taken::failed;
        }
        if (ret < 0) {
            core.fail(PlatformError::fromAv(ret));
            return Taken::failed;
        }
        // Every picture lasts until the next one's time, as it was given: x264's own
        // durations are not reliable, and the last picture's duration sets the movie's length.
        if (in.type == MediaType::video) {
            const auto given = in.pictureDurations.find(pkt->pts);
            if (given != in.pictureDurations.end()) {
                pkt->duration = given->second;
                in.pictureDurations.erase(given);
            } else {
                pkt->duration = av_rescale_q(1, av_inv_q(enc->framerate), enc->time_base);
            }
            if (!in.firstPacketDelay && pkt->dts != AV_NOPTS_VALUE)
                in.firstPacketDelay = pkt->pts - pkt->dts;
            in.presentationEnd = std::max(in.presentationEnd, pkt->pts + pkt->duration);
        }
        in.packetsOut.fetch_add(1, std::memory_order_relaxed);
        if (holdBack) {
            in.heldBack.push_back(std::move(pkt));
            pkt = makePacket();
            continue;
        }
        if (!muxPacket(core, in, pkt.get()))
            return Taken::failed;
    }
    return Taken::more;
}

} // namespace

bool encodeAndMux(WriterCore& core, WriterInput::Impl& in, AVFrame* frame) {
    const int ret = avcodec_send_frame(in.encoder.get(), frame);
    if (ret < 0) {
        core.fail(PlatformError::fromAv(ret));
        return false;
    }
    in.framesIn.fetch_add(1, std::memory_order_relaxed);
    return takePackets(core, in, std::numeric_limits<int>::max()) != Taken::failed;
}

bool drainStep(WriterCore& core, WriterInput::Impl& in) {
    if (in.emptied)
        return false;
    if (!in.flushed) {
        in.flushed = true;
        if (in.type == MediaType::audio && !drainSound(core, in, true))
            return false;
        const int ret = avcodec_send_frame(in.encoder.get(), nullptr);
        if (ret < 0 && ret != AVERROR_EOF) {
            core.fail(PlatformError::fromAv(ret));
            return false;
        }
    }
    return takePackets(core, in, 1) == Taken::more;
}

Writer::Writer(const std::string& path, FileType) : core_(std::make_shared<WriterCore>()) {
    quietMediaLogs();
    core_->path = path;
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0)
        throw PlatformError::fromErrno(errno, folder.string());
    if (!S_ISDIR(st.st_mode))
        throw PlatformError::fromErrno(ENOTDIR, folder.string());
    const int ret = avio_open(&core_->pb, ("file:" + path).c_str(), AVIO_FLAG_WRITE);
    if (ret < 0)
        throw PlatformError::fromAv(ret, path);
}

Writer::~Writer() = default;

void Writer::setShouldOptimizeForNetworkUse(bool value) {
    core_->optimizeForNetwork = value;
}

bool Writer::canAddInput(const std::shared_ptr<WriterInput>& input) const {
    if (!input || core_->currentStatus() != Status::unknown)
        return false;
    {
        std::lock_guard guard(core_->stateLock);
        for (const auto& in : core_->inputs)
            if (in == input)
                return false;
    }
    if (!input->impl_->core.expired())
        return false;
    return input->impl_->prepare();
}

void Writer::addInput(std::shared_ptr<WriterInput> input) {
    if (!canAddInput(input))
        return;
    input->impl_->core = core_;
    std::lock_guard guard(core_->stateLock);
    core_->inputs.push_back(std::move(input));
}

bool Writer::startWriting() {
    WriterCore& c = *core_;
    std::lock_guard mux(c.muxLock);
    auto refuse = [&](PlatformError e) {
        std::lock_guard guard(c.stateLock);
        c.status = Status::failed;
        c.error = std::move(e);
        return false;
    };
    auto failWith = [&](int ret) { return refuse(PlatformError::fromAv(ret)); };
    std::vector<std::shared_ptr<WriterInput>> inputs;
    {
        std::lock_guard guard(c.stateLock);
        if (c.status != Status::unknown)
            return false;
        inputs = c.inputs;
    }
    if (!c.pb)
        return refuse(PlatformError::fromTrimwell("The file is already closed"));
    if (inputs.empty())
        return refuse(PlatformError::fromTrimwell("Nothing to write"));
    int ret = avformat_alloc_output_context2(&c.fmt, nullptr, "mp4", ("file:" + c.path).c_str());
    if (ret < 0 || !c.fmt)
        return failWith(ret < 0 ? ret : AVERROR(ENOMEM));
    for (const auto& input : inputs) {
        auto& in = *input->impl_;
        AVStream* st = avformat_new_stream(c.fmt, nullptr);
        if (!st)
            return failWith(AVERROR(ENOMEM));
        ret = avcodec_parameters_from_context(st->codecpar, in.encoder.get());
        if (ret < 0)
            return failWith(ret);
        st->time_base = in.encoder->time_base;
        if (in.type == MediaType::video)
            st->avg_frame_rate = in.encoder->framerate;
        in.stream = st;
    }
    c.fmt->pb = c.pb;
    AVDictionary* options = nullptr;
    if (c.optimizeForNetwork && (ret = av_dict_set(&options, "movflags", "+faststart", 0)) < 0)
        return failWith(ret);
    ret = avformat_write_header(c.fmt, &options);
    av_dict_free(&options);
    if (ret < 0)
        return failWith(ret);
    std::lock_guard guard(c.stateLock);
    c.status = Status::writing;
    return true;
}

void Writer::startSessionAtSourceTime(MediaTime time) {
    std::lock_guard guard(core_->stateLock);
    if (time.isValid())
        core_->sessionStart = time;
}

void Writer::finishWriting(std::function<void()> handler) {
    std::shared_ptr<WriterCore> core = core_;
    globalQueue().async([core, handler = std::move(handler)]() mutable {
        try {
            std::vector<std::shared_ptr<WriterInput>> inputs;
            {
                std::lock_guard guard(core->stateLock);
                inputs = core->inputs;
            }
            for (const auto& input : inputs)
                input->markAsFinished();
            std::lock_guard mux(core->muxLock);
            if (core->currentStatus() == Status::writing) {
                int ret = av_write_trailer(core->fmt);
                core->fmt->pb = nullptr;
                const int closed = avio_closep(&core->pb);
                if (ret >= 0)
                    ret = closed;
                if (ret < 0) {
                    core->fail(PlatformError::fromAv(ret));
                } else {
                    std::lock_guard guard(core->stateLock);
                    core->status = Status::completed;
                }
            }
        } catch (...) {
            core->failWithCurrent("Finishing the file");
        }
        // The handler is called whatever happened: it is how the caller learns the end. What
        // this task holds goes first, so that a caller told of the end and then waiting for
        // the writer to go is not kept waiting by this task.
        core.reset();
        try {
            if (handler)
                std::exchange(handler, nullptr)();
        } catch (...) { // the caller's own failure to report; nothing is left to tell
        }
    });
}

void Writer::cancelWriting() {
    bool cancelled = false;
    {
        std::lock_guard mux(core_->muxLock);
        {
            std::lock_guard guard(core_->stateLock);
            if (core_->status == Status::unknown || core_->status == Status::writing) {
                core_->status = Status::cancelled;
                cancelled = true;
            }
        }
        if (cancelled) {
            if (core_->fmt)
                core_->fmt->pb = nullptr;
            // The file is removed next, so a failed close loses nothing.
            if (core_->pb)
                avio_closep(&core_->pb);
            core_->removeFile();
        }
    }
    if (cancelled)
        core_->kick();
}

Writer::Status Writer::status() const {
    return core_->currentStatus();
}

std::optional<PlatformError> Writer::error() const {
    std::lock_guard guard(core_->stateLock);
    return core_->error;
}

const std::string& Writer::path() const {
    return core_->path;
}

} // namespace trimwell
