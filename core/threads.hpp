// Worker threads for the modules that spread independent pieces of work
// (trees, blocks of rows) over the cores. Workers compute on plain buffers
// only: every host call (reading arguments, creating outputs, raising an
// error) stays on the calling thread, before or after the parallel part. A
// piece of work never throws; it records a failure in its own result for the
// calling thread to report. Header-only, like the rest of core/.
#pragma once

#include "platform.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace core {

// The cores this process may run on: its affinity mask where the platform
// has one (a job scheduler or taskset may have narrowed it), else the
// machine's hardware threads; at least 1.
inline std::size_t usable_cores()
{
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<std::size_t>(CPU_COUNT(&set));
#elif defined(_WIN32)
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) &&
        process_mask != 0) {
        std::size_t count = 0;
        for (; process_mask != 0; process_mask &= process_mask - 1)
            ++count;
        return count;
    }
#endif
    return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

// Runs work(item, worker) for every item in 0..count-1 on at most
// `threads` threads, the calling thread among them, and returns when all are
// done. `worker` (0 .. threads-1) names the thread, for scratch kept per
// thread; worker 0 is the calling thread. Items are handed out one at a
// time in increasing order, so uneven items balance; which thread runs an
// item must not change its result. If the system refuses a thread, the
// threads already running (at least the calling one) take its share.
template <class Work>
void parallel_work(std::size_t count, std::size_t threads, Work work)
{
    threads = std::min(threads, count);
    if (threads <= 1) {
        for (std::size_t item = 0; item < count; ++item)
            work(item, std::size_t{0});
        return;
    }
    std::atomic<std::size_t> next{0};
    auto run = [&next, count, &work](std::size_t worker) {
        for (std::size_t item = next++; item < count; item = next++)
            work(item, worker);
    };
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(threads - 1);
        for (std::size_t t = 1; t < threads; ++t)
            helpers.emplace_back(run, t);
    } catch (...) {
        // No memory or no thread to be had: fewer threads do it all.
    }
    run(0);
    for (std::thread &helper : helpers)
        helper.join();
}

// parallel_work for work that keeps no scratch per thread: work(item).
template <class Work>
void parallel_for(std::size_t count, std::size_t threads, Work work)
{
    parallel_work(count, threads, [&work](std::size_t item, std::size_t) { work(item); });
}

// Runs work(item, worker) for every item in 0..count-1 on `threads` worker
// threads (worker in 0..threads-1 names the thread, for per-thread
// scratch), while the calling thread runs no item but calls watch() each
// time an item is done (with `each_item`; without, only once all are done)
// and at least every `period`: watch may call the host
// (to build results as they come, or to let the host deliver a pending
// interrupt). Items are handed out in increasing order; once `stop` is set
// (by the caller, or here when watch throws) no item starts, and work
// should return early from the one it runs. If watch throws, the workers
// are joined before the exception goes on, so nothing runs on after the
// call. With threads = 0, or if the system refuses every thread, the
// calling thread runs the items itself as worker 0, calling watch between
// them.
template <class Work, class Watch>
void parallel_for_watched(std::size_t count, std::size_t threads, std::atomic<bool> &stop,
                          std::chrono::milliseconds period, Work work, Watch watch,
                          bool each_item = true)
{
    threads = std::min(threads, count);
    std::mutex lock;
    std::condition_variable changed;
    std::size_t events = 0, live = 0; // under lock
    std::atomic<std::size_t> next{0};
    auto signal = [&](bool leaving) {
        std::lock_guard<std::mutex> hold(lock);
        ++events;
        live -= leaving;
        changed.notify_one();
    };
    auto run = [&](std::size_t worker) {
        for (std::size_t item = next++; item < count && !stop.load(); item = next++) {
            work(item, worker);
            // A wake-up of the calling thread costs microseconds: only for
            // a watch that takes each item as it comes.
            if (each_item)
                signal(false);
        }
        signal(true);
    };
    std::vector<std::thread> helpers;
    try {
        helpers.reserve(threads);
        for (std::size_t t = 0; t < threads; ++t) {
            {
                std::lock_guard<std::mutex> hold(lock);
                ++live;
            }
            try {
                helpers.emplace_back(run, t);
            } catch (...) {
                std::lock_guard<std::mutex> hold(lock);
                --live;
                throw;
            }
        }
    } catch (...) {
        // No memory or no thread to be had: the threads running do it all.
    }
    auto join = [&helpers] {
        for (std::thread &helper : helpers)
            helper.join();
    };
    if (helpers.empty()) {
        for (std::size_t item = 0; item < count && !stop.load(); ++item) {
            work(item, 0);
            watch();
        }
        return;
    }
    try {
        std::size_t seen = 0;
        for (;;) {
            bool done;
            {
                std::unique_lock<std::mutex> hold(lock);
                changed.wait_for(hold, period, [&] { return events != seen; });
                seen = events;
                done = live == 0;
            }
            watch();
            if (done)
                break;
        }
    } catch (...) {
        stop = true;
        join();
        throw;
    }
    join();
}

} // namespace core
