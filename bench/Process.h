#pragma once
// What the benchmarks that measure memory and cold reads share: this process's own figures
// and a file's pages dropped from the cache.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace trimwell::bench {

// A field of /proc/self/status in kB; -1 when it cannot be read.
inline long statusKb(const char* field) {
    FILE* f = std::fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long value = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (!std::strncmp(line, field, n) && line[n] == ':')
            value = std::atol(line + n + 1);
    std::fclose(f);
    return value;
}

// Drops path's pages from the page cache, so the next read comes from the disk.
inline void dropFromCache(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    ::close(fd);
}

} // namespace trimwell::bench
