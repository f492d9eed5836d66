#pragma once
// A two-second movie made from nothing: 60 solid frames whose colour walks from red to
// blue, and a 440 Hz tone, written through the same writer a save uses.
#include "platform/media/Buffers.h"

#include <functional>
#include <memory>
#include <string>

namespace trimwell::SelfTest {

// Writes the sample movie at path; throws ClipError or the writer's PlatformError.
// Never removes the file, whatever happens.
void makeSample(const std::string& path);

// Frame n painted in one colour: blue 4n (at most 255), green 48, red 255 − min(3n, 255).
// Takes a buffer from pool when it has one, makes a 320 × 240 one otherwise; null when
// neither works.
std::shared_ptr<PixelBuffer> makePixel(std::int64_t frame, const PixelBufferPool* pool);

// frames samples of the tone from sample frame start on (48 kHz mono s16).
// Throws ClipError::failed with the platform status when a buffer is refused.
SampleBuffer makeTone(std::int64_t start, std::int64_t frames);

// What the sample is made of; the defaults make the self-test's movie. Tests swap parts
// to see each failure reported as it should be.
struct SampleRecipe {
    int width{320};
    int height{240};
    std::int64_t frames{60};
    std::int64_t soundFrames{96000};
    std::int64_t soundBufferFrames{2048};
    std::function<std::shared_ptr<PixelBuffer>(std::int64_t, const PixelBufferPool*)> pixel{
        makePixel};
    std::function<SampleBuffer(std::int64_t, std::int64_t)> tone{makeTone};
};
void makeSample(const std::string& path, const SampleRecipe& recipe);

} // namespace trimwell::SelfTest
