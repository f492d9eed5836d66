#pragma once
// Typed stand-ins for the media framework's settings dictionaries.
#include "MediaTime.h"

#include <cstdint>
#include <string>

namespace trimwell {

inline constexpr std::uint32_t kPixelFormat32BGRA = 0x42475241;    // 'BGRA'
inline constexpr std::uint32_t kAudioFormatLinearPCM = 0x6C70636D; // 'lpcm'
inline constexpr std::uint32_t kAudioFormatMPEG4AAC = 0x61616320;  // 'aac '

enum class VideoCodec { h264 };
enum class ProfileLevel { unspecified, h264HighAutoLevel };

// The x264 speed preset used unless a caller asks for another; chosen by measuring speed
// against picture quality at the bit rates people pick.
inline constexpr const char* kDefaultX264Preset = "fast";

struct VideoSettings {
    VideoCodec codec{VideoCodec::h264};
    int width{0};
    int height{0};
    std::int64_t averageBitRate{0}; // bits per second; 0 lets the encoder choose
    ProfileLevel profileLevel{ProfileLevel::unspecified};
    // The frame rate the encoder plans its bits for.
    double expectedSourceFrameRate{30};
    // The source's time between pictures: the rate the file states. Pictures keep their own
    // times, in pictureTimescale(frameDuration); when invalid, the rate above is the stated one.
    MediaTime frameDuration{};
    std::string preset{kDefaultX264Preset};
};

// The clock a picture track is kept on: a whole multiple of the frame duration's own
// timescale and at least 90 kHz, so that a steady rate stays exact (1001/30000 s is 3003
// ticks) and pictures whose times wander keep them to the 1/90000 s.
std::int32_t pictureTimescale(MediaTime frameDuration);

struct AudioSettings {
    std::uint32_t formatID{kAudioFormatMPEG4AAC};
    double sampleRate{48000};
    int channels{2};
    std::int64_t encoderBitRate{0}; // AAC only
    // Linear PCM only.
    int bitDepth{16};
    bool isBigEndian{false};
    bool isFloat{false};
    bool isNonInterleaved{false};
    friend bool operator==(const AudioSettings&, const AudioSettings&) = default;
};

struct PixelBufferAttributes {
    std::uint32_t pixelFormat{kPixelFormat32BGRA};
    int width{0};
    int height{0};
};

} // namespace trimwell
