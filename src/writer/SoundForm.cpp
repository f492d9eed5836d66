#include "SoundForm.h"

#include <array>
#include <cmath>

namespace trimwell {

namespace {

// The rates the AAC encoder takes (MPEG-4's standard sampling frequencies, 8 kHz and up),
// lowest first.
constexpr std::array<double, 12> kAacRates{8000,  11025, 12000, 16000, 22050, 24000,
                                           32000, 44100, 48000, 64000, 88200, 96000};

// The rate itself when the encoder takes it, else the nearest one above it; the highest
// beyond that. Resampling up loses nothing that was there.
double encodableRate(double rate) {
    for (const double r : kAacRates)
        if (r >= rate)
            return r;
    return kAacRates.back();
}

} // namespace

SoundForm soundForm(const Track& track) {
    const SoundForm fallback{48000, 2};
    if (track.formatDescriptions.empty())
        return fallback;
    const auto& basic = track.formatDescriptions.front().audio;
    if (!basic)
        return fallback;
    const double rate = basic->sampleRate;
    const std::uint32_t channels = basic->channelsPerFrame;
    if (!(rate >= 8000) || channels == 0)
        return fallback;
    return {encodableRate(rate), channels >= 2 ? 2 : 1};
}

AudioSettings pcmSettings(double sampleRate, int channels) {
    AudioSettings s;
    s.formatID = kAudioFormatLinearPCM;
    s.bitDepth = 16;
    s.isBigEndian = false;
    s.isFloat = false;
    s.isNonInterleaved = false;
    s.sampleRate = sampleRate;
    s.channels = channels;
    return s;
}

} // namespace trimwell
