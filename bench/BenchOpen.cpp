// Times asset inspection of one movie as opening it in the window does: duration, picture
// tracks, sound tracks, on a fresh asset each time. Prints the median in milliseconds.
#include "platform/media/Asset.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: trimwell-bench-open MOVIE [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 21;
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        trimwell::Asset asset(argv[1]);
        asset.loadDuration();
        asset.loadTracks(trimwell::MediaType::video);
        asset.loadTracks(trimwell::MediaType::audio);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.2f\n", ms[ms.size() / 2]);
    return 0;
}
