// Test helper: tells whether a thread sleeps without waking up, from /proc.
#pragma once

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace sorvex::test {

inline pid_t CurrentTid() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// Voluntary context switches of thread `tid` of this process so far (-1 when unreadable).
inline long VoluntarySwitches(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

// True once thread `tid` is asleep in the kernel (state S), polled for up to `limit`.
inline bool WaitUntilSleeping(pid_t tid, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S') {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

// How often a sleeping thread woke up during `window`: 0 for a thread that blocks in the kernel
// until it is woken, many for one that polls.
inline long WakeUpsWhileIdle(pid_t tid, std::chrono::milliseconds window) {
    long before = VoluntarySwitches(tid);
    std::this_thread::sleep_for(window);
    return VoluntarySwitches(tid) - before;
}

}  // namespace sorvex::test
