// Waiting with a deadline in the library's tests: a condition polled until it holds or time is up.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace commtest {

// Polls pred until it holds or timeout passes; idle runs between the checks (for an event loop).
inline bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = std::chrono::seconds(5),
                    const std::function<void()>& idle = {})
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        if (idle) idle();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Sets flag when the calling thread has ended: the way to wait for a thread nobody can join.
inline void NoteThreadEnd(std::atomic<bool>& flag)
{
    struct TAtEnd {
        std::atomic<bool>* Flag = nullptr;
        ~TAtEnd()
        {
            if (Flag) Flag->store(true);
        }
    };
    thread_local TAtEnd atEnd;
    atEnd.Flag = &flag;
}

} // namespace commtest
