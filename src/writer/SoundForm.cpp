#include "SoundForm.h"

#include <cmath>

namespace trimwell {

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
    return {rate, channels >= 2 ? 2 : 1};
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
