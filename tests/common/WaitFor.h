// Waiting in a test for something another thread makes happen.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace testsupport {

// Checks cond until it holds or timeout_ms pass, running pause() between checks;
// returns whether cond held. Widget tests pass a pause that runs the event loop.
template <class Cond, class Pause>
bool WaitFor(Cond cond, int timeout_ms, Pause pause)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline)
            return static_cast<bool>(cond());
        pause();
    }
    return true;
}

template <class Cond>
bool WaitFor(Cond cond, int timeout_ms = 5000)
{
    return WaitFor(cond, timeout_ms, [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
}

// The calling thread's kernel id, for WaitUntilBlocked.
inline pid_t CurrentThreadId() { return gettid(); }

// Waits until thread `tid` of this process sleeps in the kernel: blocked on a lock, an
// event or a read, so that what the test does next happens while it waits.
inline bool WaitUntilBlocked(pid_t tid, int timeout_ms = 5000)
{
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    return WaitFor(
        [&] {
            std::ifstream stat(path);
            std::string line;
            std::getline(stat, line);
            // "tid (name) S ...": the state follows the name's closing parenthesis.
            const size_t close = line.rfind(')');
            return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S';
        },
        timeout_ms);
}

}  // namespace testsupport
