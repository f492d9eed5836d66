#pragma once
// The one door from tests into the model's private state. Its own header, so that tests with
// their own waiting helpers (the window's) can use it without the model tests' ones.
#include "model/TrimwellModel.h"

#include <QString>
#include <QTimer>

#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace trimwell::testing {

// The model's private state, for tests that check the bookkeeping itself or need a state no
// real movie or save gives (a made-up movie, a save that stands still).
struct ModelInternals {
    static qint64 loadTicket(const TrimwellModel& m) { return m.loadTicket(); }
    static bool inside(const TrimwellModel& m) { return m.inside(); }
    static const std::shared_ptr<StopFlag>& stopFlag(const TrimwellModel& m) {
        return m.stopFlag();
    }
    static const std::shared_ptr<FractionBox>& progressBox(const TrimwellModel& m) {
        return m.progressBox();
    }
    static QTimer* progressTimer(const TrimwellModel& m) { return m.progressTimer(); }

    static void setSourceURL(TrimwellModel& m, std::optional<std::string> v) {
        m.setSourceURL(std::move(v));
    }
    static void setDuration(TrimwellModel& m, double v) { m.setDuration(v); }
    static void setHasAudio(TrimwellModel& m, bool v) { m.setHasAudio(v); }
    static void setStatus(TrimwellModel& m, const QString& v) { m.setStatus(v); }
    static void setBusy(TrimwellModel& m, bool v) { m.setBusy(v); }
    static void setProgress(TrimwellModel& m, double v) { m.setProgress(v); }
    static void setPlaying(TrimwellModel& m, bool v) { m.setPlaying(v); }
    static void setStopFlag(TrimwellModel& m, std::shared_ptr<StopFlag> v) {
        m.setStopFlag(std::move(v));
    }
};

} // namespace trimwell::testing
