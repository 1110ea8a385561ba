// The batch functions' runner: a private pool has exactly the threads asked
// for, an exception inside a worker reaches the caller, and the lowest failing
// element wins even when a later one fails first. Every path's lowest failing
// index is also checked from Python.
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "parallel/pool.h"
#include "check.h"

using zarel::py::kSerialBelow;
using zarel::py::Runner;
using zarel::Status;

namespace {

// Distinct threads that ran elements, and whether the calling thread was one.
std::pair<size_t, bool> threads_used(uint64_t nthreads, size_t count) {
  std::mutex m;
  std::set<std::thread::id> ids;
  Runner run{nthreads, {}};
  auto bad = run(0, count, [&](size_t) -> Status {
    std::lock_guard<std::mutex> lock(m);
    ids.insert(std::this_thread::get_id());
    return zarel::ok();
  });
  CHECK(!bad);
  CHECK(run.failure.empty());
  return {ids.size(), ids.count(std::this_thread::get_id()) == 1};
}

void private_pools_have_exactly_n_threads() {
  // More threads than this machine has processors must still all run.
  for (uint64_t n : {2, 3, 8, 64, 1024}) {
    auto [used, caller] = threads_used(n, kSerialBelow);
    CHECK_EQ(used, n);
    CHECK(caller);
  }
  CHECK_EQ(threads_used(9, 100000).first, 9u);
  // Small inputs and one thread stay on the caller whatever nthreads is.
  for (uint64_t n : {uint64_t{1}, uint64_t{2}, uint64_t{8}, uint64_t{1024}, uint64_t{1} << 20}) {
    auto [used, caller] = threads_used(n, kSerialBelow - 1);
    CHECK_EQ(used, 1u);
    CHECK(caller);
  }
  CHECK_EQ(threads_used(1, 100000).first, 1u);
}

void worker_exceptions_reach_the_caller() {
  for (uint64_t n : {0, 1, 4}) {
    Runner run{n, {}};
    bool caught = false;
    try {
      (void)run(0, 40000, [](size_t i) -> Status {
        if (i == 20000) throw std::runtime_error("boom");
        return zarel::ok();
      });
    } catch (const std::runtime_error&) {
      caught = true;
    }
    CHECK(caught);
  }
}

// The first thread's first element holds it back until a later chunk has
// failed, so a pool that stops at any failure would never reach element 50.
void the_lowest_failure_wins() {
  for (uint64_t n : {2, 4, 64}) {
    std::atomic<bool> later_failed{false};
    Runner run{n, {}};
    auto bad = run(0, 40000, [&](size_t i) -> Status {
      if (i == 0) {
        auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!later_failed && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
      }
      if (i >= 1024) later_failed = true;
      if (i == 50 || i >= 1024) return zarel::invalid("bad " + std::to_string(i));
      return zarel::ok();
    });
    CHECK(bad && bad->index == 50 && bad->error.message == "bad 50");
  }
}

}  // namespace

int main() {
  private_pools_have_exactly_n_threads();
  worker_exceptions_reach_the_caller();
  the_lowest_failure_wins();
  return zarel_test::finish();
}
