// Where a batch call's elements run: a plain loop on the calling thread for
// small inputs or one thread, the process-wide default pool, or a private pool
// of exactly `nthreads` threads built and joined within the call. Knows
// nothing of Python; runs with the interpreter lock released.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace zarel::py {

// Below this many elements a call never pays for thread coordination.
inline constexpr size_t kSerialBelow = 16384;
// A private pool has this many threads at most: beyond it a caller's nthreads
// is a mistake, and honouring it would only cost memory.
inline constexpr uint64_t kMaxThreads = 1024;

// Whether `count` elements with `nthreads` run on a pool built for the call.
inline bool builds_pool(size_t count, uint64_t nthreads) { return count >= kSerialBelow && nthreads >= 2; }

// Runs `element(i)` for i in [first, last) and gives the index of a failed
// element (the first, on the calling thread), or `last` when all succeed. A
// private pool that cannot be built leaves its description in `failure`.
// REQUIRES: nthreads <= kMaxThreads when builds_pool(last - first, nthreads).
struct Runner {
  uint64_t nthreads;
  std::string failure;

  template <class F>
  size_t operator()(size_t first, size_t last, F&& element) {
    size_t count = last - first;
    if (count < kSerialBelow || nthreads == 1) {
      for (size_t i = first; i < last; ++i)
        if (!element(i)) return i;
      return last;
    }
    std::atomic<size_t> failed{last};
    // Records a failure; a later element of a pool may fail first, so the lowest seen is kept.
    auto fail = [&](size_t i) {
      size_t seen = failed.load(std::memory_order_relaxed);
      while (i < seen && !failed.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
      }
    };
    auto run = [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) {
        if (failed.load(std::memory_order_relaxed) != last) return;
        if (!element(i)) return fail(i);
      }
    };
    if (nthreads == 0) {
      tbb::parallel_for(tbb::blocked_range<size_t>(first, last, 1024),
                        [&](const tbb::blocked_range<size_t>& r) { run(r.begin(), r.end()); });
      return failed.load();
    }
    return private_pool(first, last, failed, run);
  }

 private:
  // `nthreads` threads, the calling one among them. Chunk k < nthreads goes to
  // thread k, so every thread works; the rest are taken in turn as threads
  // finish, which keeps uneven elements balanced.
  template <class Run>
  size_t private_pool(size_t first, size_t last, std::atomic<size_t>& failed, Run& run) {
    size_t threads = static_cast<size_t>(nthreads);
    size_t count = last - first;
    size_t chunk = std::clamp<size_t>(count / (threads * 8), 1, 1024);
    size_t chunks = (count + chunk - 1) / chunk;
    std::atomic<size_t> next{threads};
    std::vector<std::exception_ptr> thrown(threads);
    auto worker = [&](size_t k) {
      try {
        for (size_t c = k; c < chunks && failed.load(std::memory_order_relaxed) == last;
             c = next.fetch_add(1, std::memory_order_relaxed))
          run(first + c * chunk, std::min(last, first + (c + 1) * chunk));
      } catch (...) {
        thrown[k] = std::current_exception();
        failed.store(first, std::memory_order_relaxed);  // stops the others
      }
    };
    std::vector<std::thread> pool;
    pool.reserve(threads - 1);
    try {
      for (size_t k = 1; k < threads; ++k) pool.emplace_back(worker, k);
    } catch (const std::system_error& e) {
      failure = e.what();
      failed.store(first, std::memory_order_relaxed);
    }
    if (failure.empty()) worker(0);
    for (std::thread& t : pool) t.join();
    for (const std::exception_ptr& e : thrown)
      if (e) std::rethrow_exception(e);
    return failed.load();
  }
};

}  // namespace zarel::py
