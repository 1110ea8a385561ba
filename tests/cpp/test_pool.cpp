// The batch functions' runner: a private pool has exactly the threads asked
// for, and an exception inside a worker reaches the caller. The lowest failing
// index on every path is checked from Python.
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "../../python/pool.h"
#include "check.h"

using zarel::py::kSerialBelow;
using zarel::py::Runner;

namespace {

// Distinct threads that ran elements, and whether the calling thread was one.
std::pair<size_t, bool> threads_used(uint64_t nthreads, size_t count) {
  std::mutex m;
  std::set<std::thread::id> ids;
  Runner run{nthreads, {}};
  size_t bad = run(0, count, [&](size_t) {
    std::lock_guard<std::mutex> lock(m);
    ids.insert(std::this_thread::get_id());
    return true;
  });
  CHECK_EQ(bad, count);
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
      (void)run(0, 40000, [](size_t i) -> bool {
        if (i == 20000) throw std::runtime_error("boom");
        return true;
      });
    } catch (const std::runtime_error&) {
      caught = true;
    }
    CHECK(caught);
  }
}

}  // namespace

int main() {
  private_pools_have_exactly_n_threads();
  worker_exceptions_reach_the_caller();
  return zarel_test::finish();
}
