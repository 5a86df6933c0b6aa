// parallel_for_watched, on which every long call of the tree modules runs
// (and parallel_work beside it): every item runs once, or at most once when
// stopped; nothing starts once the stop is seen; no worker outlives the
// call, also when the watch throws (as the host's interrupt does); and the
// calling thread takes the work when the system refuses threads.
#include "check.hpp"
#include "threads.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <vector>

using namespace coretest;

// The system refusing threads, simulated: while armed on a thread, its
// allocations fail from the n-th on (0: all), so the helper list or a
// thread's state cannot be had.
namespace {
thread_local long allocations_left = -1; // negative: never fail
}

void *operator new(std::size_t size)
{
    if (allocations_left == 0)
        throw std::bad_alloc();
    if (allocations_left > 0)
        --allocations_left;
    if (void *p = std::malloc(size > 0 ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr std::chrono::milliseconds PERIOD{1};

// What the items did, recorded without allocating: how often each ran, on
// which worker, and when each started in one sequence shared with the stop.
struct Tracker {
    explicit Tracker(std::size_t count) : runs(count), worker(count), start(count) {}

    void begin(std::size_t item, std::size_t w)
    {
        ++in_flight;
        ++runs[item];
        worker[item] = w;
        start[item] = sequence++;
    }
    void end()
    {
        // Enough work for the other threads to move meanwhile.
        unsigned x = 1;
        for (int i = 0; i < 20000; ++i)
            x = x * 1664525u + 1013904223u;
        sink += x;
        ++done;
        --in_flight;
    }
    // The work of a call: each item recorded as it starts and ends.
    auto work()
    {
        return [this](std::size_t item, std::size_t w) {
            begin(item, w);
            end();
        };
    }
    std::size_t total_runs() const
    {
        std::size_t n = 0;
        for (const auto &r : runs)
            n += static_cast<std::size_t>(r.load());
        return n;
    }

    std::vector<std::atomic<int>> runs;
    std::vector<std::size_t> worker;
    std::vector<long> start;
    std::atomic<long> sequence{0};
    std::atomic<int> in_flight{0};
    std::atomic<std::size_t> done{0};
    std::atomic<unsigned> sink{0};
};

void expect_each_once(const Tracker &t, std::size_t workers, const char *call)
{
    for (std::size_t i = 0; i < t.runs.size(); ++i) {
        expect(t.runs[i] == 1, format("%s: item %zu of %zu ran %d times", call, i, t.runs.size(),
                                      t.runs[i].load()));
        expect(t.worker[i] < workers,
               format("%s: item %zu ran on worker %zu of %zu", call, i, t.worker[i], workers));
    }
}

// After the stop at `stop_seq`: no item ran twice, none is still running,
// the worker that stopped (if one did) started nothing more, and every
// other worker at most the one item it had taken before it could see the
// stop.
void expect_stopped(const Tracker &t, long stop_seq, std::size_t workers, long stopper,
                    const char *call)
{
    expect(t.in_flight == 0,
           format("%s: %d items still running when the call ended", call, t.in_flight.load()));
    std::vector<int> late(workers, 0);
    for (std::size_t i = 0; i < t.runs.size(); ++i) {
        expect(t.runs[i] <= 1, format("%s: item %zu ran %d times", call, i, t.runs[i].load()));
        if (t.runs[i] == 1 && t.start[i] > stop_seq)
            ++late[t.worker[i]];
    }
    for (std::size_t w = 0; w < workers; ++w)
        expect(late[w] <= (static_cast<long>(w) == stopper ? 0 : 1),
               format("%s: worker %zu started %d items after the stop", call, w, late[w]));
}

void every_item_once()
{
    for (const bool each_item : {true, false})
    for (const std::size_t threads : {0, 1, 2, 3, 8})
        for (const std::size_t count : {0, 1, 2, 7, 100}) {
            const std::size_t workers = std::max<std::size_t>(1, std::min(threads, count));
            Tracker t(count);
            std::atomic<bool> stop{false};
            std::size_t watches = 0;
            std::size_t seen_last = 0;
            core::parallel_for_watched(
                count, threads, stop, PERIOD, t.work(),
                [&] {
                    ++watches;
                    seen_last = t.done;
                },
                each_item);
            const std::string call =
                format("parallel_for_watched of %zu items on %zu threads%s", count, threads,
                       each_item ? "" : ", watched once all are done");
            expect_each_once(t, workers, call.c_str());
            expect(seen_last == count,
                   format("%s: the watch's last call saw %zu items done", call.c_str(), seen_last));
            if (threads == 0)
                for (std::size_t i = 0; i < count; ++i)
                    expect(t.start[i] == static_cast<long>(i) && watches == count,
                           format("%s: the calling thread did not run the items in order, "
                                  "watching after each",
                                  call.c_str()));

            Tracker u(count);
            core::parallel_work(count, threads, u.work());
            expect_each_once(
                u, workers,
                format("parallel_work of %zu items on %zu threads", count, threads).c_str());
        }
}

void threads_refused()
{
    const std::size_t count = 60;
    const std::size_t threads = 4;
    for (const long fail_from : {0, 1, 2, 3, 5}) {
        Tracker t(count);
        std::atomic<bool> stop{false};
        std::size_t watches = 0;
        allocations_left = fail_from;
        core::parallel_for_watched(count, threads, stop, PERIOD, t.work(), [&] { ++watches; });
        allocations_left = -1;
        const std::string call =
            format("parallel_for_watched on %zu threads, allocations failing from the %ld-th",
                   threads, fail_from);
        // With no helper at all, the calling thread runs every item.
        expect_each_once(t, fail_from == 0 ? 1 : threads, call.c_str());
        expect(fail_from > 0 || watches == count,
               format("%s: the watch ran %zu times, not after each of %zu items", call.c_str(),
                      watches, count));

        Tracker u(count);
        allocations_left = fail_from;
        core::parallel_work(count, threads, u.work());
        allocations_left = -1;
        expect_each_once(u, fail_from == 0 ? 1 : threads,
                         format("parallel_work on %zu threads, allocations failing from the "
                                "%ld-th",
                                threads, fail_from)
                             .c_str());
    }
}

void stopped_before()
{
    for (const std::size_t threads : {0, 3}) {
        Tracker t(50);
        std::atomic<bool> stop{true};
        core::parallel_for_watched(50, threads, stop, PERIOD, t.work(), [] {});
        expect(t.total_runs() == 0,
               format("%zu items ran on %zu threads although stop was set before the call",
                      t.total_runs(), threads));
    }
}

void stopped_by_an_item()
{
    const std::size_t count = 300;
    for (const std::size_t threads : {0, 1, 2, 5})
        for (std::uint64_t seed = 1; seed <= 20; ++seed) {
            const std::size_t stopper = static_cast<std::size_t>((seed * 7919) % count);
            Tracker t(count);
            std::atomic<bool> stop{false};
            long stop_seq = -1;
            long stopper_worker = -1;
            core::parallel_for_watched(
                count, threads, stop, PERIOD,
                [&](std::size_t item, std::size_t w) {
                    t.begin(item, w);
                    if (item == stopper) {
                        stop = true;
                        stop_seq = t.sequence++;
                        stopper_worker = static_cast<long>(w);
                    }
                    t.end();
                },
                [] {});
            expect(t.runs[stopper] == 1, format("seed %llu: the stopping item %zu never ran",
                                                static_cast<unsigned long long>(seed), stopper));
            expect_stopped(t, stop_seq, std::max<std::size_t>(threads, 1), stopper_worker,
                           format("seed %llu, item %zu stopping %zu threads",
                                  static_cast<unsigned long long>(seed), stopper, threads)
                               .c_str());
        }
}

void stopped_by_the_watch()
{
    const std::size_t count = 400;
    for (const bool throws : {false, true})
        for (const std::size_t threads : {0, 1, 3}) {
            Tracker t(count);
            std::atomic<bool> stop{false};
            long stop_seq = -1;
            bool caught = false;
            try {
                core::parallel_for_watched(count, threads, stop, PERIOD, t.work(), [&] {
                    if (throws)
                        throw std::runtime_error("interrupted");
                    if (stop_seq < 0) {
                        stop = true;
                        stop_seq = t.sequence++;
                    }
                });
            } catch (const std::runtime_error &) {
                caught = true;
                stop_seq = t.sequence++;
            }
            const std::string call = format("the watch %s the call on %zu threads",
                                            throws ? "throwing through" : "stopping", threads);
            expect(caught == throws, format("%s: the exception %s", call.c_str(),
                                            caught ? "came out of a stop" : "was lost"));
            expect_stopped(t, stop_seq, std::max<std::size_t>(threads, 1), -1, call.c_str());
            // Once the exception is out, nothing of the call starts.
            for (std::size_t i = 0; throws && i < count; ++i)
                expect(
                    t.runs[i] == 0 || t.start[i] < stop_seq,
                    format("%s: item %zu started after the exception came out", call.c_str(), i));
            // The workers are told to stop, not left to finish every item.
            expect(!throws || threads == 0 || stop,
                   format("%s: stop is not set after the exception", call.c_str()));
            // The calling thread watches after its one item, and stops there.
            expect(threads > 0 || t.total_runs() == 1,
                   format("%s: %zu items ran", call.c_str(), t.total_runs()));
        }
}

} // namespace

int main()
{
    Runner r("core/tests/test_threads");
    r.run("every item runs once, on a worker below the thread count; the watch's last call sees "
          "them all done",
          every_item_once);
    r.run("threads refused: the threads there are, or the calling thread, run every item once",
          threads_refused);
    r.run("stop set before the call: no item runs", stopped_before);
    r.run("stop set by an item: its worker starts no other, each other worker at most the one it "
          "took, none runs twice or outlives the call",
          stopped_by_an_item);
    r.run("the watch stops the call or throws: no worker outlives it, nothing starts after",
          stopped_by_the_watch);
    return r.finish();
}
