#include "parallel/pool.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <ostream>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/failure.hpp"
#include "parallel/registry.hpp"

namespace {

using quorlin::InternalFailure;
using quorlin::parallel::alongside;
using quorlin::parallel::current_num_threads;
using quorlin::parallel::join;
using quorlin::parallel::parallel_for;
using quorlin::parallel::parallel_map;
using quorlin::parallel::ThreadPool;
using Range = std::pair<std::size_t, std::size_t>;

// Aborts the test program if f does not return in time: a lost wake-up shows as a hang.
template <class F>
void within_deadline(F&& f) {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> lock(mutex);
        if (!finished.wait_for(lock, std::chrono::seconds(30), [&] { return done; })) {
            std::fputs("deadline exceeded: the pool hangs\n", stderr);
            std::abort();
        }
    });
    f();
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    finished.notify_one();
    watchdog.join();
}

// Ranges passed to a parallel_for body, sorted.
std::vector<Range> ranges_of(std::size_t n) {
    std::mutex mutex;
    std::vector<Range> ranges;
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        std::lock_guard<std::mutex> lock(mutex);
        ranges.emplace_back(begin, end);
    });
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}

// Sum of [begin, end) by recursive halving through join.
std::size_t tree_sum(std::size_t begin, std::size_t end) {
    if (end - begin == 1) return begin;
    const std::size_t mid = begin + (end - begin) / 2;
    std::size_t left = 0;
    std::size_t right = 0;
    join([&] { left = tree_sum(begin, mid); }, [&] { right = tree_sum(mid, end); });
    return left + right;
}

// Depth of a chain of joins nested inside their first task.
std::size_t chain_depth(std::size_t depth) {
    if (depth == 0) return 0;
    std::size_t below = 0;
    std::size_t self = 0;
    join([&] { below = chain_depth(depth - 1); }, [&] { self = 1; });
    return below + self;
}

std::string label_of(std::size_t i) {
    return "label-" + std::to_string(i * 7919 % 100003);
}

class PoolSizes : public ::testing::TestWithParam<std::size_t> {};

INSTANTIATE_TEST_SUITE_P(Threads, PoolSizes, ::testing::Values(1, 2, 3, 8));

TEST_P(PoolSizes, ParallelForCoversTheRangeWithDisjointPieces) {
    ThreadPool pool(GetParam());
    ASSERT_EQ(pool.num_threads(), GetParam());
    // Without any steal, the budget of N allows bit_width(N) rounds of halving.
    const std::size_t guaranteed_pieces = std::size_t{1} << std::bit_width(GetParam());
    for (const std::size_t n : {0, 1, 2, 3, 7, 64, 1000, 100003}) {
        SCOPED_TRACE("n = " + std::to_string(n));
        std::vector<Range> ranges;
        pool.install([&] { ranges = ranges_of(n); });
        std::size_t next = 0;
        for (const auto& [begin, end] : ranges) {
            EXPECT_EQ(begin, next);
            EXPECT_LT(begin, end);
            next = end;
        }
        EXPECT_EQ(next, n);
        if (n >= guaranteed_pieces) {
            EXPECT_GE(ranges.size(), guaranteed_pieces);
        }
    }
}

TEST(PoolSplitting, OneThreadPoolCutsOnceIntoHalves) {
    // Nothing can be stolen from a lone worker, so the split is fully determined.
    ThreadPool pool(1);
    pool.install([] {
        EXPECT_EQ(ranges_of(1), (std::vector<Range>{{0, 1}}));
        EXPECT_EQ(ranges_of(2), (std::vector<Range>{{0, 1}, {1, 2}}));
        EXPECT_EQ(ranges_of(11), (std::vector<Range>{{0, 5}, {5, 11}}));
    });
}

TEST_P(PoolSizes, ParallelMapKeepsItemOrder) {
    ThreadPool pool(GetParam());
    for (const std::size_t n : {0, 1, 5, 4096, 50001}) {
        SCOPED_TRACE("n = " + std::to_string(n));
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < n; ++i) expected.push_back(label_of(i));
        std::vector<std::string> got;
        pool.install([&] { got = parallel_map(n, label_of); });
        EXPECT_EQ(got, expected);
    }
}

TEST_P(PoolSizes, NestedJoinsComputeTheSameResult) {
    ThreadPool pool(GetParam());
    std::size_t sum = 0;
    std::size_t depth = 0;
    std::vector<std::size_t> nested;
    pool.install([&] {
        sum = tree_sum(0, std::size_t{1} << 14);
        depth = chain_depth(300);
        // Loops inside loops inside loops.
        nested = parallel_map(40, [](std::size_t i) {
            std::atomic<std::size_t> total{0};
            parallel_for(i * 100, [&](std::size_t begin, std::size_t end) {
                const std::vector<std::size_t> parts =
                    parallel_map(end - begin, [begin](std::size_t k) { return begin + k; });
                std::size_t local = 0;
                for (const std::size_t part : parts) local += part;
                total += local;
            });
            return total.load();
        });
    });
    const std::size_t n = std::size_t{1} << 14;
    EXPECT_EQ(sum, n * (n - 1) / 2);
    EXPECT_EQ(depth, 300u);
    ASSERT_EQ(nested.size(), 40u);
    for (std::size_t i = 0; i < nested.size(); ++i) {
        const std::size_t m = i * 100;
        EXPECT_EQ(nested[i], m == 0 ? 0 : m * (m - 1) / 2) << "i = " << i;
    }
}

struct JoinFailure {
    const char* name;
    bool a_throws;
    bool b_throws;
    const char* expected_message;
};

void PrintTo(const JoinFailure& failure, std::ostream* os) {
    *os << failure.name;
}

class JoinFailures : public ::testing::TestWithParam<std::tuple<std::size_t, JoinFailure>> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, JoinFailures,
    ::testing::Combine(::testing::Values(1, 2, 3, 8),
                       ::testing::Values(JoinFailure{"first", true, false, "a failed"},
                                         JoinFailure{"second", false, true, "b failed"},
                                         JoinFailure{"both", true, true, "a failed"})),
    [](const auto& info) {
        return std::get<1>(info.param).name + std::string("_") +
               std::to_string(std::get<0>(info.param));
    });

TEST_P(JoinFailures, SurfaceOnceAfterTheSiblingFinished) {
    const std::size_t threads = std::get<0>(GetParam());
    const JoinFailure failure = std::get<1>(GetParam());
    ThreadPool pool(threads);
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> a_done{false};
        std::atomic<bool> b_done{false};
        bool b_done_at_catch = false;
        bool a_done_at_catch = false;
        int caught = 0;
        std::string message;
        // The task that does not throw is the slow one, so a join that rethrows early is seen.
        const auto task = [](std::atomic<bool>& done, bool throws, const char* text) {
            if (throws) throw InternalFailure(text);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            done = true;
        };
        pool.install([&] {
            try {
                join([&] { task(a_done, failure.a_throws, "a failed"); },
                     [&] { task(b_done, failure.b_throws, "b failed"); });
            } catch (const InternalFailure& e) {
                ++caught;
                message = e.what();
                a_done_at_catch = a_done;
                b_done_at_catch = b_done;
            }
        });
        ASSERT_EQ(caught, 1);
        EXPECT_EQ(message, failure.expected_message);
        EXPECT_EQ(a_done_at_catch, !failure.a_throws);
        EXPECT_EQ(b_done_at_catch, !failure.b_throws);
    }
}

TEST_P(PoolSizes, AnyExceptionTypePassesThroughJoinAndInstall) {
    ThreadPool pool(GetParam());
    EXPECT_THROW(pool.install([] { join([] {}, [] { throw std::bad_alloc(); }); }), std::bad_alloc);
    EXPECT_THROW(pool.install([] {
        join([] { throw std::system_error(EAGAIN, std::generic_category()); }, [] {});
    }),
                 std::system_error);
    try {
        pool.install([] { throw InternalFailure("no entry found for key"); });
        ADD_FAILURE() << "install swallowed the failure";
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "no entry found for key");
    }
    // Still usable.
    std::vector<Range> ranges;
    pool.install([&] { ranges = ranges_of(1000); });
    ASSERT_FALSE(ranges.empty());
    EXPECT_EQ(ranges.back().second, 1000u);
}

TEST_P(PoolSizes, LoopFailureWaitsForAllPiecesAndLeftmostWins) {
    ThreadPool pool(GetParam());
    const std::size_t n = 4096;
    for (int round = 0; round < 10; ++round) {
        std::atomic<int> started{0};
        std::atomic<int> finished{0};
        int running_at_catch = -1;
        std::string message;
        pool.install([&] {
            try {
                parallel_for(n, [&](std::size_t begin, std::size_t end) {
                    ++started;
                    if (begin == 0) throw InternalFailure("left piece failed");
                    if (end == n) throw InternalFailure("right piece failed");
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                    ++finished;
                });
            } catch (const InternalFailure& e) {
                message = e.what();
                // The two failing pieces never finish; every other started piece must have.
                running_at_catch = started - finished - 2;
            }
        });
        EXPECT_EQ(message, "left piece failed");
        EXPECT_EQ(running_at_catch, 0);
    }
    std::vector<Range> ranges;
    pool.install([&] { ranges = ranges_of(n); });
    EXPECT_EQ(ranges.back().second, n);
}

TEST(ProcessPool, OutsideCallerBlocksWhileWorkersRunTheOperation) {
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id a_thread;
    std::thread::id b_thread;
    std::size_t threads_inside = 0;
    join(
        [&] {
            a_thread = std::this_thread::get_id();
            threads_inside = current_num_threads();
        },
        [&] { b_thread = std::this_thread::get_id(); });
    EXPECT_NE(a_thread, caller);
    EXPECT_NE(b_thread, caller);
    EXPECT_EQ(threads_inside, current_num_threads());
    EXPECT_GE(current_num_threads(), 1u);
}

// The caller's own work runs beside the pool's, and the call returns only once the pool's work
// is done, whichever side fails: the pool's work may lie in the caller's frame.
TEST(ProcessPool, AlongsideRunsBothAtOnceAndWaitsForThePoolWhateverFails) {
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> pool_started{false};
    std::thread::id pool_thread;
    std::thread::id here_thread;
    bool met = false;
    alongside(
        [&] {
            pool_thread = std::this_thread::get_id();
            pool_started = true;
        },
        [&] {
            here_thread = std::this_thread::get_id();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (!pool_started && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
            }
            met = pool_started;
        });
    EXPECT_TRUE(met);
    EXPECT_EQ(here_thread, caller);
    EXPECT_NE(pool_thread, caller);

    auto slow_pool = [](bool& done) {
        return [&done] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            done = true;
        };
    };
    bool done = false;
    EXPECT_THROW(alongside(slow_pool(done), [] { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_TRUE(done);
    EXPECT_THROW(alongside([] { throw InternalFailure("pool"); }, [] {}), InternalFailure);
    try {
        alongside([] { throw InternalFailure("pool"); }, [] { throw std::bad_alloc(); });
        ADD_FAILURE();
    } catch (const std::bad_alloc&) {
    }
    // From a worker: one after the other, the caller's work first.
    ThreadPool pool(2);
    std::vector<int> order;
    pool.install([&] { alongside([&] { order.push_back(2); }, [&] { order.push_back(1); }); });
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(ProcessPool, SeveralOutsideThreadsAtOnce) {
    within_deadline([] {
        std::vector<std::thread> callers;
        std::vector<int> wrong(4, 0);
        for (std::size_t t = 0; t < wrong.size(); ++t) {
            callers.emplace_back([t, &wrong] {
                for (std::size_t round = 0; round < 25; ++round) {
                    const std::size_t n = 500 + 37 * t + round;
                    const std::vector<std::size_t> squares =
                        parallel_map(n, [](std::size_t i) { return i * i; });
                    std::size_t total = 0;
                    std::mutex mutex;
                    parallel_for(n, [&](std::size_t begin, std::size_t end) {
                        std::size_t local = 0;
                        join([&] { local += tree_sum(begin, end); }, [] {});
                        std::lock_guard<std::mutex> lock(mutex);
                        total += local;
                    });
                    if (squares.size() != n || squares[n - 1] != (n - 1) * (n - 1)) ++wrong[t];
                    if (total != n * (n - 1) / 2) ++wrong[t];
                }
            });
        }
        for (std::thread& caller : callers) caller.join();
        EXPECT_EQ(wrong, std::vector<int>(4, 0));
    });
}

TEST(PoolWakeUp, SleepingWorkerIsWokenForNewWorkAndWaiterForItsLatch) {
    ThreadPool pool(2);
    within_deadline([&] {
        for (int round = 0; round < 100; ++round) {
            // Give the other worker time to fall asleep.
            if (round % 2 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::atomic<bool> b_started{false};
            pool.install([&] {
                // a can only finish once the other worker has been woken and took b.
                join(
                    [&] {
                        while (!b_started) std::this_thread::yield();
                    },
                    [&] { b_started = true; });
            });
            // Here the waiting worker has to sleep until the slow stolen b sets its latch.
            pool.install([&] {
                std::atomic<bool> stolen{false};
                join(
                    [&] {
                        while (!stolen) std::this_thread::yield();
                    },
                    [&] {
                        stolen = true;
                        std::this_thread::sleep_for(std::chrono::microseconds(500));
                    });
            });
        }
    });
}

TEST(PoolWakeUp, WorkQueuedWhileTheOtherWorkerFallsAsleepIsNotLost) {
    // The other worker finishes b, searches and yields a few dozen times, then sleeps. Queuing
    // the next b after a delay that sweeps over that stretch hits the moment it decides to
    // sleep; a wake-up lost there leaves a spinning forever.
    ThreadPool pool(2);
    within_deadline([&] {
        pool.install([] {
            for (int round = 0; round < 4000; ++round) {
                const auto until =
                    std::chrono::steady_clock::now() + std::chrono::microseconds(round % 80);
                while (std::chrono::steady_clock::now() < until) {
                }
                std::atomic<bool> b_started{false};
                join(
                    [&] {
                        while (!b_started) std::this_thread::yield();
                    },
                    [&] { b_started = true; });
            }
        });
    });
}

// The sleep protocol step by step, on a worker object driven by the test thread.
class SleepProtocol : public ::testing::Test {
  protected:
    using Registry = quorlin::parallel::detail::Registry;
    using WorkerThread = quorlin::parallel::detail::WorkerThread;
    using SpinLatch = quorlin::parallel::detail::SpinLatch;

    void wait_until_asleep() {
        while (!worker_.sleep_slot().asleep.load()) std::this_thread::yield();
    }

    std::unique_ptr<Registry> registry_ = Registry::on_calling_thread();
    WorkerThread worker_{*registry_, 0};
    SpinLatch latch_{registry_->sleep(), worker_.sleep_slot()};
};

TEST_F(SleepProtocol, WorkQueuedAfterTheLastSearchKeepsTheWorkerAwake) {
    auto& sleep = registry_->sleep();
    const std::uint64_t epoch = sleep.get_sleepy();
    EXPECT_FALSE(sleep.new_work());  // nobody sleeps yet, but the epoch moves
    within_deadline([&] { sleep.sleep(worker_.sleep_slot(), epoch, latch_); });
    EXPECT_FALSE(worker_.sleep_slot().asleep.load());
}

TEST_F(SleepProtocol, NewWorkWakesASleeper) {
    auto& sleep = registry_->sleep();
    within_deadline([&] {
        std::thread sleeper([&] { sleep.sleep(worker_.sleep_slot(), sleep.get_sleepy(), latch_); });
        wait_until_asleep();
        EXPECT_TRUE(sleep.new_work());
        EXPECT_TRUE(sleep.wake_if_asleep(worker_.sleep_slot()));
        sleeper.join();
        // Nobody is sleepy any more: queuing work needs no wake-up.
        EXPECT_FALSE(sleep.new_work());
        EXPECT_FALSE(sleep.wake_if_asleep(worker_.sleep_slot()));
    });
}

TEST_F(SleepProtocol, SettingTheLatchWakesItsOwner) {
    auto& sleep = registry_->sleep();
    within_deadline([&] {
        std::thread sleeper([&] { sleep.sleep(worker_.sleep_slot(), sleep.get_sleepy(), latch_); });
        wait_until_asleep();
        latch_.set();
        sleeper.join();
        EXPECT_TRUE(latch_.probe());
        // A set latch keeps its owner from sleeping at all.
        sleep.sleep(worker_.sleep_slot(), sleep.get_sleepy(), latch_);
    });
}

TEST(ThreadPoolTest, InstallUsesThePoolItRunsOn) {
    ThreadPool outer(3);
    ThreadPool inner(2);
    const std::thread::id caller = std::this_thread::get_id();
    std::size_t in_outer = 0;
    std::size_t in_inner = 0;
    std::size_t back_in_outer = 0;
    std::set<std::thread::id> outer_threads;
    std::set<std::thread::id> inner_threads;
    std::mutex mutex;
    outer.install([&] {
        in_outer = current_num_threads();
        parallel_for(64, [&](std::size_t, std::size_t) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            std::lock_guard<std::mutex> lock(mutex);
            outer_threads.insert(std::this_thread::get_id());
        });
        inner.install([&] {
            in_inner = current_num_threads();
            parallel_for(64, [&](std::size_t, std::size_t) {
                std::lock_guard<std::mutex> lock(mutex);
                inner_threads.insert(std::this_thread::get_id());
            });
        });
        back_in_outer = current_num_threads();
    });
    EXPECT_EQ(in_outer, 3u);
    EXPECT_EQ(in_inner, 2u);
    EXPECT_EQ(back_in_outer, 3u);
    EXPECT_LE(outer_threads.size(), 3u);
    EXPECT_LE(inner_threads.size(), 2u);
    EXPECT_EQ(outer_threads.count(caller), 0u);
    EXPECT_EQ(inner_threads.count(caller), 0u);
    for (const std::thread::id id : inner_threads) EXPECT_EQ(outer_threads.count(id), 0u);
}

TEST(ThreadPoolTest, PoolsComeAndGo) {
    for (int round = 0; round < 20; ++round) {
        ThreadPool pool(1 + round % 4);
        std::vector<Range> ranges;
        pool.install([&] { ranges = ranges_of(100); });
        EXPECT_EQ(ranges.back().second, 100u);
    }
}

// Stand-ins for pthread_create.
int spawn_unsupported(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) {
    return ENOSYS;
}
std::atomic<int> spawn_calls{0};
int spawn_two_then_fail(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                        void* arg) {
    if (spawn_calls.fetch_add(1) >= 2) return EAGAIN;
    return pthread_create(thread, attr, start, arg);
}

TEST(RegistryTest, WithoutThreadsTheCallingThreadIsTheOnlyWorker) {
    using namespace quorlin::parallel::detail;
    const auto registry = build_registry(4, "unused", &spawn_unsupported);
    ASSERT_EQ(registry->num_threads(), 1u);
    const std::thread::id caller = std::this_thread::get_id();
    std::size_t threads_inside = 0;
    std::vector<Range> ranges;
    std::set<std::thread::id> seen;
    install_in(*registry, [&] {
        threads_inside = current_num_threads();
        ranges = ranges_of(11);
        join([&] { seen.insert(std::this_thread::get_id()); },
             [&] { seen.insert(std::this_thread::get_id()); });
    });
    EXPECT_EQ(threads_inside, 1u);
    EXPECT_EQ(ranges, (std::vector<Range>{{0, 5}, {5, 11}}));
    EXPECT_EQ(seen, std::set<std::thread::id>{caller});
    EXPECT_THROW(install_in(*registry, [] { join([] {}, [] { throw InternalFailure("x"); }); }),
                 InternalFailure);
}

TEST(RegistryTest, FailedThreadStartStopsTheStartedWorkersAndNamesTheReason) {
    using namespace quorlin::parallel::detail;
    spawn_calls = 0;
    try {
        build_registry(4, "The global thread pool has not been initialized.", &spawn_two_then_fail);
        ADD_FAILURE() << "no failure reported";
    } catch (const quorlin::parallel::PoolError& e) {
        EXPECT_EQ(std::string(e.what()), "The global thread pool has not been initialized.: " +
                                             std::system_category().message(EAGAIN));
    }
    EXPECT_EQ(spawn_calls.load(), 3);
}

}  // namespace

#include "../support/sanitizer.hpp"

// ThreadSanitizer refuses to start threads in a child of a multi-threaded fork.
#if !QUORLIN_UNDER_TSAN
#include <sys/wait.h>
#include <unistd.h>

// A child forked after the process-wide pool started has none of its threads; parallel work
// there must still finish (on a pool of the child's own), not wait forever.
TEST(PoolFork, ChildOfAForkRunsParallelWork) {
    std::vector<int> before =
        quorlin::parallel::parallel_map(1000, [](std::size_t i) { return static_cast<int>(i); });
    ASSERT_EQ(before.back(), 999);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);  // a hang ends the child with SIGALRM
        std::vector<int> after = quorlin::parallel::parallel_map(
            100000, [](std::size_t i) { return static_cast<int>(i * 2); });
        bool ok = after.size() == 100000 && after[99999] == 199998 &&
                  quorlin::parallel::current_num_threads() >= 1;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "child ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}
#endif
