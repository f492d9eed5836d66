#pragma once
// A scripted player: the test sets its clock and state, reads the seeks it was asked for, and
// fires its observers by hand. Like the real one it calls back on the main thread.
#include "platform/player/Player.h"

#include <cmath>
#include <map>
#include <vector>

namespace trimwell::testing {

class FakePlayer : public Player {
public:
    // What the test can see and script; the model owns the player, the test keeps a pointer.
    std::optional<std::string> item;
    TimeControlStatus status{TimeControlStatus::paused};
    double currentRate{0};
    // The pace the next play() goes at, and every pace asked for, in order.
    double speed{1};
    std::vector<double> speeds;
    // Pictures a second on an even grid from 0 for pictureTimeFrom; 0: the times are unknown.
    double pictureRate{0};
    double time{std::nan("")};
    std::vector<double> seeks;
    int playCalls{0};
    int pauseCalls{0};
    struct Periodic {
        double interval;
        std::function<void(double)> block;
    };
    struct Boundary {
        double seconds;
        std::function<void()> block;
    };
    std::map<std::uint64_t, Periodic> periodic;
    std::map<std::uint64_t, Boundary> boundaries;
    std::vector<std::uint64_t> removed;

    void replaceCurrentItem(const std::optional<std::string>& path) override {
        item = path;
        time = path ? 0.0 : std::nan("");
    }
    bool hasItem() const override { return item.has_value(); }
    void play() override {
        ++playCalls;
        status = TimeControlStatus::playing;
        currentRate = speed;
    }
    void setPlaybackSpeed(double s) override {
        speeds.push_back(s);
        speed = s;
        if (status != TimeControlStatus::paused)
            currentRate = s;
    }
    void pause() override {
        ++pauseCalls;
        status = TimeControlStatus::paused;
        currentRate = 0;
    }
    double rate() const override { return currentRate; }
    TimeControlStatus timeControlStatus() const override { return status; }
    double currentTime() const override { return time; }
    void seekExactly(double seconds) override {
        seeks.push_back(seconds);
        time = seconds;
    }
    double pictureTimeFrom(double seconds, int steps) override {
        if (!(pictureRate > 0) || !std::isfinite(seconds))
            return std::nan("");
        // The first picture at or after seconds, as an exact seek shows.
        const double at = std::ceil(seconds * pictureRate - 1e-6) + steps;
        return at < 0 ? std::nan("") : at / pictureRate;
    }
    ObserverToken addPeriodicTimeObserver(double interval,
                                          std::function<void(double)> block) override {
        periodic[++lastId_] = {interval, std::move(block)};
        return {lastId_};
    }
    ObserverToken addBoundaryTimeObserver(double seconds, std::function<void()> block) override {
        boundaries[++lastId_] = {seconds, std::move(block)};
        return {lastId_};
    }
    void removeTimeObserver(ObserverToken token) override {
        removed.push_back(token.id);
        periodic.erase(token.id);
        boundaries.erase(token.id);
    }

    // One tick of every periodic observer at the player's time t.
    void tick(double t) {
        time = t;
        for (auto& [id, o] : periodic)
            o.block(t);
    }
    // Playback crosses seconds: fires the boundary observers installed at that time.
    void cross(double seconds) {
        time = seconds;
        auto copy = boundaries;
        for (auto& [id, o] : copy)
            if (o.seconds == seconds)
                o.block();
    }
    // The one installed boundary time, or NaN when there is none (or more than one).
    double boundaryTime() const {
        return boundaries.size() == 1 ? boundaries.begin()->second.seconds : std::nan("");
    }

private:
    std::uint64_t lastId_{0};
};

} // namespace trimwell::testing
