#include "writer/SoundForm.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace trimwell;

static Track soundTrack(std::optional<AudioStreamBasicDescription> basic,
                        bool withDescription = true) {
    Track t;
    t.mediaType = MediaType::audio;
    if (withDescription) {
        FormatDescription fd;
        fd.mediaType = basic ? MediaType::audio : MediaType::video;
        fd.audio = basic;
        t.formatDescriptions.push_back(fd);
    }
    return t;
}

TEST(SoundForm, KeepsTheRateCapsChannelsAndFallsBackTogether) {
    const struct {
        double rate;
        std::uint32_t channels;
        SoundForm form;
    } cases[] = {
        {44100, 1, {44100, 1}},
        {48000, 6, {48000, 2}},
        {96000, 2, {96000, 2}},
        {8000, 1, {8000, 1}},
        {7999, 2, {48000, 2}},
        {44100, 0, {48000, 2}},
        {NAN, 2, {48000, 2}},
        {22050, 2, {22050, 2}},
        // Rates the encoder refuses go to the nearest one at or above that it takes.
        {11025, 1, {11025, 1}},
        {88200, 2, {88200, 2}},
        {37800, 2, {44100, 2}},
        {44101, 2, {48000, 2}},
        {8001, 1, {11025, 1}},
        {96001, 2, {96000, 2}},
        {192000, 2, {96000, 2}},
        {384000, 1, {96000, 1}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(soundForm(soundTrack(AudioStreamBasicDescription{c.rate, c.channels})), c.form)
            << c.rate << " Hz " << c.channels;
}

TEST(SoundForm, MissingDescriptionsFallBack) {
    EXPECT_EQ(soundForm(soundTrack(std::nullopt, false)), (SoundForm{48000, 2}));
    EXPECT_EQ(soundForm(soundTrack(std::nullopt, true)), (SoundForm{48000, 2}));
}

TEST(PcmSettings, SixteenBitInterleavedLittleEndianInteger) {
    const AudioSettings s = pcmSettings(44100, 1);
    EXPECT_EQ(s.formatID, kAudioFormatLinearPCM);
    EXPECT_EQ(s.bitDepth, 16);
    EXPECT_FALSE(s.isBigEndian);
    EXPECT_FALSE(s.isFloat);
    EXPECT_FALSE(s.isNonInterleaved);
    EXPECT_EQ(s.sampleRate, 44100);
    EXPECT_EQ(s.channels, 1);
}
