#include "CutCommand.h"

#include "labels/TypedTime.h"
#include "model/MovieCheck.h"
#include "writer/ClipWriter.h"
#include "writer/SavePolicy.h"

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace trimwell {

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onSignal(int) {
    interrupted = true;
}

bool parseSeconds(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(out);
}

void drawProgress(std::ostream& err, double fraction) {
    const int width = 40;
    const int filled = static_cast<int>(fraction * width);
    err << "\r[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] "
        << static_cast<int>(fraction * 100) << "%" << std::flush;
}

} // namespace

int runCutCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() < 4 || args.size() > 5) {
        err << "Usage: trimwell-cut SOURCE DESTINATION START END [MEGABITS]\n";
        return 1;
    }
    const TypedTime startTime = readTime(args[2]);
    const TypedTime endTime = readTime(args[3]);
    if (!startTime.seconds || !endTime.seconds) {
        err << "START and END are seconds (12.5) or clock times (1:02.5).\n";
        return 1;
    }
    const double start = *startTime.seconds;
    const double end = *endTime.seconds;
    double megabits = 4.0;
    if (args.size() == 5 && (!parseSeconds(args[4], megabits) || megabits < 0.5 || megabits > 20)) {
        err << "MEGABITS is a picture bit rate from 0.5 to 20.\n";
        return 1;
    }

    // Refused before the movie is even read, as the window refuses marks this close.
    if (!isLongEnough(start, end)) {
        out << kTooShortText << "\n";
        return 1;
    }

    const MovieCheck check = checkMovie(args[0]);
    if (check.refusal) {
        out << *check.refusal << "\n";
        return 1;
    }

    auto stop = std::make_shared<StopFlag>();
    auto fraction = std::make_shared<FractionBox>();
    const std::int64_t videoBits = pictureBitsPerSecond(megabits);
    const std::int64_t audioBits = check.hasAudio ? kSoundBitsPerSecond : 0;

    interrupted = false;
    // Closing the terminal (SIGHUP) is a Stop too: the partial file must not be left behind.
    struct sigaction action {
    }, oldInt{}, oldTerm{}, oldHup{};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
    sigaction(SIGHUP, &action, &oldHup);

    std::exception_ptr failure;
    std::atomic<bool> done{false};
    std::thread save;
    try {
        save = std::thread([&] {
            try {
                ClipWriter::write(args[0], args[1], start, end, videoBits, audioBits, stop,
                                  [fraction](double f) { fraction->store(f); });
            } catch (...) {
                failure = std::current_exception();
            }
            done = true;
        });
    } catch (const std::system_error&) {
        failure = std::current_exception();
        done = true;
    }
    const bool showBar = ::isatty(STDERR_FILENO);
    while (!done) {
        if (interrupted && !stop->isStopped())
            stop->requestStop();
        if (showBar)
            drawProgress(err, fraction->value());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (save.joinable())
        save.join();
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    sigaction(SIGHUP, &oldHup, nullptr);
    if (showBar) {
        if (!failure)
            drawProgress(err, 1.0);
        err << "\n";
    }

    const SaveEnd ended = saveEndOf(failure);
    switch (ended.outcome) {
    case SaveOutcome::refused: // nothing was written: the reason is the whole story
        out << ended.reason << "\n";
        break;
    case SaveOutcome::notWritten:
    case SaveOutcome::failed:
        out << outcomeText(ended.outcome) << "\n" << ended.reason << "\n";
        break;
    default:
        out << outcomeText(ended.outcome) << "\n";
    }
    return ended.outcome == SaveOutcome::saved ? 0 : 1;
}

} // namespace trimwell
