#pragma once
// The export engine: cuts [start, end) seconds out of a source movie and writes it as a
// new MPEG-4 movie, re-encoded upright at an even size (H.264 at the given average rate,
// AAC at the source's rate with at most two channels).
#include "SaveControls.h"

#include <functional>
#include <memory>
#include <string>

namespace trimwell::ClipWriter {

// Blocks the calling thread (never the main thread) until the file is complete.
// Writes to a partial file in the destination's folder and renames it over the
// destination only after every check passed, so a failed or stopped save leaves whatever
// was at the destination untouched and no partial file behind. The partial file has no
// name until then where the filesystem allows (O_TMPFILE), so even a killed save leaves
// nothing; elsewhere it is hidden and named, and a later save into the folder removes
// those whose process is gone. TRIMWELL_NAMED_PARTIAL_FILE=1 forces the named one.
// Throws ClipError (its cases and texts) or PlatformError for a source that cannot be read.
// onProgress may be called on any thread, from the picture and the sound side at once, never
// with a lock held.
void write(const std::string& source, const std::string& destination, double start, double end,
           std::int64_t videoBitsPerSecond, std::int64_t audioBitsPerSecond,
           std::shared_ptr<StopFlag> stop, std::function<void(double)> onProgress);

// The hidden name of a save's partial file (same folder): the file itself where it cannot
// be unnamed, and the name the finished file takes just before the rename otherwise.
std::string partialPathFor(const std::string& destination);

} // namespace trimwell::ClipWriter
