// Times exact seeks in the player: from the seek to the first picture shown at the new
// time, over seeks spread through the movie. Prints the median in milliseconds.
#include "EventLoop.h"
#include "platform/player/MpvPlayer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

class Sink : public trimwell::PictureSink {
public:
    int pictures{0};
    void pictureChanged() override { ++pictures; }
    void pictureSourceGone() override {}
};

// Event-loop slices of 5 ms.
template <typename F> bool waitFor(F done, int ms) {
    return trimwell::bench::waitFor(done, ms, 5);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: trimwell-bench-seek MOVIE [SEEKS]\n");
        return 2;
    }
    QCoreApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    const int seeks = argc > 2 ? std::atoi(argv[2]) : 15;
    trimwell::MpvPlayer player;
    Sink sink;
    player.setPictureSink(&sink);
    player.replaceCurrentItem(std::string(argv[1]));
    if (!waitFor([&] { return sink.pictures > 0 && player.duration() > 0; }, 20000)) {
        std::fprintf(stderr, "the movie did not load\n");
        return 1;
    }
    const double length = player.duration();
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> where(0.5, std::max(1.0, length - 1));
    std::vector<double> ms;
    for (int i = 0; i < seeks; ++i) {
        // Land between key frames, where an exact seek has the most to decode.
        const double target = std::floor(where(rng) * 30) / 30 + 0.9;
        const int before = sink.pictures;
        QElapsedTimer timer;
        timer.start();
        player.seekExactly(target);
        if (!waitFor(
                [&] {
                    return sink.pictures > before &&
                           std::fabs(player.currentTime() - target) < 0.04;
                },
                20000)) {
            std::fprintf(stderr, "seek to %.3f did not finish\n", target);
            return 1;
        }
        ms.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%.2f\n", ms[ms.size() / 2]);
    return 0;
}
