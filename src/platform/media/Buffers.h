#pragma once
// Pixel buffers, sample buffers and the descriptions that travel with them.
#include "Asset.h"
#include "MediaSettings.h"
#include "MediaTime.h"

#include <cstdint>
#include <memory>
#include <vector>

struct AVFrame;

namespace trimwell {

// One picture. It holds either 32-bit BGRA bytes or a decoder's own picture (YUV, say);
// a decoder's picture becomes BGRA only when someone locks it, so pictures that go
// straight from a reader to a writer are never converted to BGRA and back.
class PixelBuffer {
public:
    // A new BGRA buffer; nullptr when it cannot be allocated or the size is unusable.
    static std::shared_ptr<PixelBuffer> create(int width, int height,
                                               std::uint32_t pixelFormat = kPixelFormat32BGRA);
    // Takes over a decoded picture (any FFmpeg pixel format) with its colour tags.
    static std::shared_ptr<PixelBuffer> adopt(AVFrame* frame);
    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int width() const;
    int height() const;
    // kPixelFormat32BGRA while it holds BGRA bytes; 0 while it holds a decoder's picture.
    std::uint32_t pixelFormat() const;

    // Makes the BGRA bytes available; false when they cannot be produced.
    // Not thread-safe: one holder locks at a time.
    bool lockBaseAddress();
    void unlockBaseAddress();
    // Between lock and unlock: the first byte and the stride; nullptr and 0 otherwise.
    std::uint8_t* baseAddress() const;
    int bytesPerRow() const;

    // The picture as held, for the writer.
    const AVFrame* frame() const { return frame_; }

private:
    explicit PixelBuffer(AVFrame* frame) : frame_(frame) {}
    AVFrame* frame_{nullptr};
    bool locked_{false};
};

class PixelBufferPool {
public:
    explicit PixelBufferPool(PixelBufferAttributes attributes) : attributes_(attributes) {}
    // nullptr when no buffer can be made.
    std::shared_ptr<PixelBuffer> createPixelBuffer() const;
    const PixelBufferAttributes& attributes() const { return attributes_; }

private:
    PixelBufferAttributes attributes_{};
};

// The full description of linear PCM, as a sound's format description gives it.
struct AudioStreamDescription {
    double sampleRate{0};
    std::uint32_t formatID{0};
    std::uint32_t formatFlags{0};
    std::uint32_t bytesPerPacket{0};
    std::uint32_t framesPerPacket{0};
    std::uint32_t bytesPerFrame{0};
    std::uint32_t channelsPerFrame{0};
    std::uint32_t bitsPerChannel{0};
};

inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;

struct AudioFormatDescription {
    AudioStreamDescription description{};
};

// A block of sample bytes owned by whoever holds it.
struct BlockBuffer {
    std::vector<std::uint8_t> bytes;
};

// One decoded picture or one block of interleaved signed 16-bit PCM, with its times.
struct SampleBuffer {
    MediaType mediaType{MediaType::video};
    MediaTime presentationTime{};
    MediaTime duration{};
    // Pictures.
    std::shared_ptr<PixelBuffer> pixels;
    // Sound.
    std::shared_ptr<const AudioFormatDescription> format;
    std::shared_ptr<BlockBuffer> block;
    std::int64_t frameCount{0};
};

// Each returns what it made or throws PlatformError: domain "Trimwell" for what it refuses,
// "POSIX" ENOMEM when the memory runs out. Only packed signed 16-bit linear PCM is described.
std::shared_ptr<const AudioFormatDescription>
audioFormatDescriptionCreate(const AudioStreamDescription& description);
std::shared_ptr<BlockBuffer> blockBufferCreate(std::size_t length);
// The byte at offset, which must lie inside the block.
std::uint8_t* blockBufferGetDataPointer(BlockBuffer& block, std::size_t offset);
// frameCount frames of sound whose first frame is presented at presentationTime and
// each lasts frameDuration.
SampleBuffer sampleBufferCreateForAudio(std::shared_ptr<BlockBuffer> block,
                                        std::shared_ptr<const AudioFormatDescription> format,
                                        std::int64_t frameCount, MediaTime frameDuration,
                                        MediaTime presentationTime, std::size_t sampleSize);

// The time a sample buffer is presented at; invalid when it has none.
inline MediaTime sampleBufferPresentationTime(const SampleBuffer& buffer) {
    return buffer.presentationTime;
}

} // namespace trimwell
