// The clock as the player reports it: the times libmpv plays through, the boundaries they
// cross, and the periodic and boundary observers on main-thread timers.
#include "detail/MpvPlayerImpl.h"

#include <QMetaObject>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <utility>

namespace trimwell {

void MpvPlayer::Impl::notePlayedTime(double seconds) {
    if (stepping_) {
        if (std::isfinite(seconds) && seconds >= stepTarget_ - kPictureTolerance)
            finishStep(seconds);
        return;
    }
    const double from = lastPlayedTime_;
    lastPlayedTime_ = seconds;
    // Only forward steps of running playback cross a boundary; a seek or a new item resets
    // the previous time to NaN, so the first time after it is only remembered.
    if (seeking_ || !std::isfinite(from) || !std::isfinite(seconds) || seconds <= from)
        return;
    crossBoundaries(from, seconds);
}

void MpvPlayer::Impl::crossBoundaries(double from, double to) {
    for (const auto& [id, boundary] : boundaries_) {
        if (!(boundary.seconds > from && boundary.seconds <= to))
            continue;
        // Run from the event loop, outside libmpv's event handling; an observer removed in
        // the meantime is skipped.
        QMetaObject::invokeMethod(
            &context_,
            [this, id = id] {
                const auto it = boundaries_.find(id);
                if (it == boundaries_.end())
                    return;
                const auto block = it->second.block;
                block();
            },
            Qt::QueuedConnection);
    }
}

ObserverToken MpvPlayer::Impl::addPeriodicTimeObserver(double interval,
                                                       std::function<void(double)> block) {
    const ObserverToken token{nextToken_++};
    if (!block)
        return token;
    const double ms =
        std::isfinite(interval) ? std::clamp(interval * 1000.0, 1.0, 86400000.0) : 1.0;
    auto* timer = new QTimer(&context_);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(static_cast<int>(std::lround(ms)));
    QObject::connect(timer, &QTimer::timeout, &context_, [this, id = token.id] {
        const auto it = periodic_.find(id);
        if (it == periodic_.end())
            return;
        const double now = currentTime();
        if (!std::isfinite(now))
            return;
        // A copy: the block may remove its own observer.
        const auto call = it->second.block;
        call(now);
    });
    periodic_.emplace(token.id, Periodic{timer, std::move(block)});
    timer->start();
    return token;
}

ObserverToken MpvPlayer::Impl::addBoundaryTimeObserver(double seconds,
                                                       std::function<void()> block) {
    const ObserverToken token{nextToken_++};
    if (block)
        boundaries_.emplace(token.id, Boundary{seconds, std::move(block)});
    return token;
}

void MpvPlayer::Impl::removeTimeObserver(ObserverToken token) {
    if (const auto it = periodic_.find(token.id); it != periodic_.end()) {
        // The timer may be the one whose tick is running right now.
        it->second.timer->stop();
        it->second.timer->deleteLater();
        periodic_.erase(it);
    }
    boundaries_.erase(token.id);
}

} // namespace trimwell
