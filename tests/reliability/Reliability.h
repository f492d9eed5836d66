#pragma once
// What the reliability tests share: a bound on how long one case may run, the count of the
// process's threads, and the damaged movies made from small good ones.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace trimwell::testing {

// Ends the process with a message when a case runs past its limit: a hang fails fast and
// names itself instead of waiting for CTest's time-out.
class Deadline {
public:
    Deadline(std::string what, std::chrono::seconds limit);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    std::mutex lock_;
    std::condition_variable wake_;
    bool done_{false}; // guarded by lock_
    std::thread watch_;
};

// Threads of this process that are not already exiting, as /proc/self/task lists them, and
// their names (for a failure's message).
int threadCount();
std::vector<std::string> threadNames();
std::string threadList();
// Waits up to graceMs for the thread count to come down to at most limit; returns the count.
int threadCountSettling(int limit, int graceMs);

// The partial files a save leaves while it runs (".NAME.trimwell-PID.partial") in folder.
int partialFilesIn(const std::string& folder);

// What a destination held before a save that must leave it alone.
inline constexpr const char* kOldFile = "the user's old file";

// A movie whose save takes a few seconds: long enough to be stopped or changed while it runs.
std::string busyMovie();

// A small movie with picture and sound, its index after its data ("end") or before ("front").
std::string smallMovie(bool indexInFront);

// The bytes of an MP4 with the payload of its first box of the given type zeroed.
std::string zeroBox(std::string bytes, const std::string& type);
// The bytes of an MP4 with every duration in its movie, track and media headers and every
// sample's duration set to zero: a movie that claims no length at all.
std::string zeroDurations(std::string bytes);

} // namespace trimwell::testing
