// Times what the timeline strip reads of one movie: the first picture after opening, whole
// rows of pictures across the movie, the whole waveform, and the memory they take (the
// growth of peak resident memory, with a row and the waveform read side by side as the
// window reads them). With --cold each reading starts with the movie out of the page cache.
// Prints one "name value" line per figure.
#include "Process.h"
#include "platform/media/Asset.h"
#include "platform/media/Timeline.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

using trimwell::bench::dropFromCache;
using trimwell::bench::statusKb;

struct Row {
    double firstMs{0}; // from opening to the first picture
    double allMs{0};
    int shown{0};
};

// N pictures at the middles of N equal slots, as the strip asks for them.
Row row(const std::string& path, double length, int n, int height) {
    const std::atomic<bool> go{false};
    Row r;
    const auto t0 = Clock::now();
    trimwell::TimelinePictures pictures(path, height);
    for (int i = 0; i < n; ++i) {
        if (pictures.pictureAt((i + 0.5) * length / n, go))
            ++r.shown;
        if (i == 0)
            r.firstMs = msSince(t0);
    }
    r.allMs = msSince(t0);
    return r;
}

struct Wave {
    double firstChunkMs{-1};
    double allMs{0};
    std::size_t peaks{0};
    int chunks{0};
};

Wave waveform(const std::string& path) {
    const std::atomic<bool> go{false};
    Wave w;
    const auto t0 = Clock::now();
    trimwell::readTimelinePeaks(
        path, 0.01,
        [&](trimwell::TimelinePeaks c) {
            if (w.firstChunkMs < 0)
                w.firstChunkMs = msSince(t0);
            w.peaks += c.peaks.size();
            ++w.chunks;
        },
        go);
    w.allMs = msSince(t0);
    return w;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: trimwell-bench-timeline MOVIE [--cold] [--rows N,N..] "
                             "[--no-sound]\n");
        return 2;
    }
    const std::string path = argv[1];
    bool cold = false, sound = true;
    std::vector<int> rows{12, 60};
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--cold")) {
            cold = true;
        } else if (!std::strcmp(argv[i], "--no-sound")) {
            sound = false;
        } else if (!std::strcmp(argv[i], "--rows") && i + 1 < argc) {
            rows.clear();
            for (char* p = argv[++i]; *p;) {
                rows.push_back(static_cast<int>(std::strtol(p, &p, 10)));
                if (*p == ',')
                    ++p;
            }
        }
    }
    const int height = 90;
    const long baseKb = statusKb("VmRSS");
    trimwell::Asset asset(path);
    const double length = asset.loadDuration().seconds();
    std::printf("length_s %.1f\n", length);
    for (const int n : rows) {
        if (cold)
            dropFromCache(path);
        const Row r = row(path, length, n, height);
        std::printf("row%d_first_ms %.1f\nrow%d_all_ms %.1f\nrow%d_shown %d\n", n, r.firstMs, n,
                    r.allMs, n, r.shown);
    }
    if (sound) {
        if (cold)
            dropFromCache(path);
        const Wave w = waveform(path);
        std::printf("waveform_first_chunk_ms %.1f\nwaveform_all_ms %.1f\nwaveform_peaks %zu\n"
                    "waveform_chunks %d\n",
                    w.firstChunkMs, w.allMs, w.peaks, w.chunks);
        // Side by side, as the window reads them.
        if (cold)
            dropFromCache(path);
        const auto t0 = Clock::now();
        std::thread wave([&] { waveform(path); });
        const Row r = row(path, length, rows.empty() ? 60 : rows.back(), height);
        wave.join();
        std::printf("together_row_all_ms %.1f\ntogether_all_ms %.1f\n", r.allMs, msSince(t0));
    }
    std::printf("peak_rss_growth_mb %.1f\n", (statusKb("VmHWM") - baseKb) / 1024.0);
    return 0;
}
