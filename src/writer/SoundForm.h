#pragma once
#include "platform/media/Asset.h"
#include "platform/media/MediaSettings.h"

namespace trimwell {

struct SoundForm {
    double sampleRate{48000};
    int channels{2};
    friend bool operator==(const SoundForm&, const SoundForm&) = default;
};

// The sample rate and channel count a cut's sound is decoded and encoded at: the
// track's own rate when the AAC encoder takes it, else the nearest rate it takes above it
// (96 kHz above 96 kHz); at most two channels; (48000, 2) whenever the track says nothing
// usable.
SoundForm soundForm(const Track& track);

// Interleaved little-endian signed 16-bit PCM at the given rate and channel count.
AudioSettings pcmSettings(double sampleRate, int channels);

} // namespace trimwell
