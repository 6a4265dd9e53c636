// Station (POS) numbers held by one test process at a time. Shared blocks and
// events are named after the station and live machine-wide, so two processes
// on one number (two tests, or two build trees tested side by side) take each
// other's messages. Each number has a lock file in /tmp; the number is ours
// while we hold an exclusive flock on it, for the life of the process (the
// descriptor is never closed; the kernel drops the lock however the process
// ends). A number is never handed out twice, in this process or another.
//
// The process that claimed numbers removes their lock files when it exits
// (still holding the locks), so a test run leaves /tmp as it found it. A
// claimer checks after locking that the path still names the file it
// locked: a file removed meanwhile by its exiting holder is tried afresh.
#pragma once
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

namespace station_lock_detail {

struct Claims {
    std::mutex mutex;
    pid_t owner = 0;
    std::vector<std::string> paths;
};

inline Claims& TheClaims() {
    static Claims* claims = new Claims;  // never destroyed: used at exit
    return *claims;
}

// At exit of the claiming process (not of a child that inherited the locks).
inline void RemoveClaimedFiles() {
    Claims& c = TheClaims();
    if (c.owner != getpid()) return;
    for (const std::string& path : c.paths) unlink(path.c_str());
}

inline bool SameFile(int fd, const std::string& path) {
    struct stat a {}, b {};
    return fstat(fd, &a) == 0 && lstat(path.c_str(), &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace station_lock_detail

// A free number in [first, last]; aborts when every one is held.
inline int ClaimStation(int first, int last) {
    static std::mutex mutex;
    static int next = -1;
    std::lock_guard<std::mutex> guard(mutex);
    station_lock_detail::Claims& claims = station_lock_detail::TheClaims();
    const int span = last - first + 1;
    if (next < 0) next = static_cast<int>((getpid() * 37L) % span);  // spread the starting points
    for (int tried = 0; tried < span; ++tried) {
        const int station = first + (next % span);
        next = (next + 1) % span;
        const std::string path = "/tmp/znp-station-" + std::to_string(station) + ".lock";
        const int fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && station_lock_detail::SameFile(fd, path)) {
            std::lock_guard<std::mutex> g(claims.mutex);
            if (claims.owner != getpid()) {
                claims.owner = getpid();
                claims.paths.clear();
                std::atexit(station_lock_detail::RemoveClaimedFiles);
            }
            claims.paths.push_back(path);
            return station;
        }
        close(fd);
    }
    std::fprintf(stderr, "no free station in %d..%d\n", first, last);
    std::abort();
}

// Program tests: stations 1000..9899.
inline int UniqueStation() { return ClaimStation(1000, 9899); }

// Client library tests and benchmarks: POS numbers 100..999 (the library
// accepts 1..999; 1..99 stay for the tests that need a given number).
inline uint32_t UniquePosNumber() { return static_cast<uint32_t>(ClaimStation(100, 999)); }

}  // namespace testsupport
