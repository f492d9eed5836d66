#include "Reliability.h"

#include "support/TestMovies.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace trimwell::testing {

Deadline::Deadline(std::string what, std::chrono::seconds limit) {
    watch_ = std::thread([this, what = std::move(what), limit] {
        std::unique_lock guard(lock_);
        if (!wake_.wait_for(guard, limit, [this] { return done_; })) {
            std::fprintf(stderr, "%s did not end within %lld s\n", what.c_str(),
                         static_cast<long long>(limit.count()));
            std::abort();
        }
    });
}

Deadline::~Deadline() {
    {
        std::lock_guard guard(lock_);
        done_ = true;
    }
    wake_.notify_all();
    watch_.join();
}

namespace {

// A thread that has begun to exit (the kernel's PF_EXITING) is no longer anyone's: joining
// it returns before the kernel takes it off /proc/self/task, so it may still be listed.
bool isExiting(const fs::path& task) {
    std::ifstream in(task / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto name_end = stat.rfind(')');
    if (name_end == std::string::npos)
        return true; // gone while we looked
    std::istringstream fields(stat.substr(name_end + 2));
    std::string field;
    unsigned long flags = 0;
    // After the name: state, ppid, pgrp, session, tty_nr, tpgid, then flags.
    for (int i = 0; i < 7 && fields >> field; ++i)
        if (i == 6)
            flags = std::stoul(field);
    constexpr unsigned long kExiting = 0x4;
    return flags & kExiting;
}

} // namespace

std::vector<std::string> threadNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/self/task", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        if (isExiting(it->path()))
            continue;
        std::ifstream in(it->path() / "comm");
        std::string name;
        std::getline(in, name);
        names.push_back(name);
    }
    return names;
}

std::string threadList() {
    std::string list;
    for (const auto& name : threadNames())
        list += (list.empty() ? "" : ", ") + name;
    return list;
}

int threadCount() {
    return static_cast<int>(threadNames().size());
}

int threadCountSettling(int limit, int graceMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
    int n = threadCount();
    while (n > limit && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        n = threadCount();
    }
    return n;
}

int partialFilesIn(const std::string& folder) {
    int n = 0;
    for (const std::string& name : listFolder(folder))
        if (name.size() > 8 && name.front() == '.' &&
            name.find(".trimwell-") != std::string::npos && name.ends_with(".partial"))
            ++n;
    return n;
}

std::string smallMovie(bool indexInFront) {
    const std::string args =
        "-f lavfi -i testsrc2=size=160x120:rate=30:duration=2 "
        "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=2 "
        "-c:v libx264 -preset ultrafast -pix_fmt yuv420p -g 15 -c:a aac -shortest";
    return indexInFront ? makeMovie("rel-small-front.mp4", args, "-movflags +faststart")
                        : makeMovie("rel-small-end.mp4", args);
}

namespace {

std::uint32_t read32(const std::string& b, std::size_t at) {
    return (std::uint32_t(std::uint8_t(b[at])) << 24) |
           (std::uint32_t(std::uint8_t(b[at + 1])) << 16) |
           (std::uint32_t(std::uint8_t(b[at + 2])) << 8) | std::uint32_t(std::uint8_t(b[at + 3]));
}

void zero(std::string& b, std::size_t at, std::size_t n) {
    for (std::size_t i = 0; i < n && at + i < b.size(); ++i)
        b[at + i] = 0;
}

// Calls visit(offset, size, type) for every box in [from, to), descending into the boxes that
// only hold other boxes.
template <typename Visit>
void walk(const std::string& b, std::size_t from, std::size_t to, Visit&& visit) {
    std::size_t at = from;
    while (at + 8 <= to) {
        const std::size_t size = read32(b, at);
        if (size < 8 || at + size > to)
            return;
        const std::string type = b.substr(at + 4, 4);
        visit(at, size, type);
        if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl")
            walk(b, at + 8, at + size, visit);
        at += size;
    }
}

} // namespace

std::string zeroBox(std::string bytes, const std::string& type) {
    bool done = false;
    walk(bytes, 0, bytes.size(), [&](std::size_t at, std::size_t size, const std::string& t) {
        if (!done && t == type) {
            zero(bytes, at + 8, size - 8);
            done = true;
        }
    });
    return bytes;
}

std::string zeroDurations(std::string bytes) {
    walk(bytes, 0, bytes.size(), [&](std::size_t at, std::size_t, const std::string& t) {
        const bool wide = bytes[at + 8] == 1;                // version 1: 64-bit times
        const std::size_t times = at + 12 + (wide ? 16 : 8); // after creation and change times
        const std::size_t width = wide ? 8 : 4;
        if (t == "mvhd" || t == "mdhd")
            zero(bytes, times + 4, width); // after the timescale
        else if (t == "tkhd")
            zero(bytes, times + 8, width); // after the track id and a reserved word
        else if (t == "stts")
            for (std::uint32_t i = 0, n = read32(bytes, at + 12); i < n; ++i)
                zero(bytes, at + 16 + 8 * i + 4, 4);
    });
    return bytes;
}

std::string busyMovie() {
    return makeMovie("rel-busy.mp4", "-f lavfi -i testsrc2=size=480x270:rate=30:duration=6 "
                                     "-f lavfi -i sine=duration=6 -vf noise=alls=20:allf=t "
                                     "-c:v libx264 -preset ultrafast -g 30 -c:a aac -shortest");
}

} // namespace trimwell::testing
