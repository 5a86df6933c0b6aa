// Ctrl-C during a long call. Worker threads compute while the calling
// thread asks the host, at most every INTERRUPT_PERIOD, to deliver a pending
// interrupt: GNU Octave does so at the next evaluation, by throwing through
// the call; the workers are then told to stop, and joined before the
// exception goes on, so nothing of the call runs after it. MATLAB delivers
// Ctrl-C only once the call returns: its documented MEX interface offers no
// way to ask sooner, so there the call runs to its end.
#pragma once

#include "mexhost.hpp"
#include "threads.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>

namespace host {

// An evaluation costs more than a check of the clock.
constexpr std::chrono::milliseconds INTERRUPT_PERIOD{100};

// Lets the host deliver an interrupt, at most every INTERRUPT_PERIOD. On the
// calling thread only.
class InterruptPoll {
public:
    void operator()()
    {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < INTERRUPT_PERIOD)
            return;
        last_ = now;
        mexEvalString("");
    }

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

// Steps of work (a node visited, a list entry moved) below which a call
// ends within milliseconds: not worth a thread that costs a tenth of a
// millisecond to start.
constexpr double INTERRUPTIBLE_STEPS = 4.0 * 1024 * 1024;

// Runs work(item, worker, stop) for every item in 0..count-1, as
// parallel_work runs work(item, worker), where `steps` bounds the call's
// work. A longer call runs on `threads` worker threads (at least one, so
// that even a single item can be interrupted) while the calling thread
// polls for interrupts; `stop` is set when one arrives, and work should then
// return soon, whatever it has done: the call ends with the host's
// exception and nothing it computed is read.
template <class Work>
void interruptible_work(std::size_t count, std::size_t threads, double steps, Work work)
{
    std::atomic<bool> stop{false};
    if (steps < INTERRUPTIBLE_STEPS) {
        core::parallel_work(count, threads,
                      [&](std::size_t item, std::size_t worker) { work(item, worker, stop); });
        return;
    }
    InterruptPoll poll;
    core::parallel_for_watched(
        count, std::max<std::size_t>(threads, 1), stop, INTERRUPT_PERIOD,
        [&](std::size_t item, std::size_t worker) { work(item, worker, stop); },
        [&poll] { poll(); }, false);
}

} // namespace host
