// Where a batch call's elements run: a plain loop on the calling thread for
// small inputs or one thread, the process-wide default pool, or a private pool
// of exactly `nthreads` threads built and joined within the call. Whatever the
// threads and their timing, a failing call reports its lowest failing element.
// Knows nothing of Python; runs with the interpreter lock released.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/cancel.h"
#include "base/error.h"
#include "base/limits.h"

namespace zarel::py {

// Below this many elements a call never pays for thread coordination.
inline constexpr size_t kSerialBelow = 16384;
// Elements between two polls for cancellation: a poll costs about one cheap element.
inline constexpr uint32_t kPollEvery = 64;

// Whether `count` elements with `nthreads` run on a pool built for the call.
inline bool builds_pool(size_t count, uint64_t nthreads) { return count >= kSerialBelow && nthreads >= 2; }

// The failing element of a batch with the lowest index, and its error.
struct ElementFailure {
  size_t index;
  Error error;
};

// The lowest failure the workers have seen so far. Elements above it need not
// run, since they cannot lower it; every element below it still must.
class LowestFailure {
 public:
  explicit LowestFailure(size_t none) : index_(none) {}

  // Whether element `i` can no longer change the outcome.
  bool beyond(size_t i) const { return i > index_.load(std::memory_order_relaxed); }

  void record(size_t i, Error&& e) {
    {
      std::lock_guard<std::mutex> lock(m_);
      if (failure_ && failure_->index < i) return;
      failure_ = ElementFailure{i, std::move(e)};
    }
    lower(i);
  }

  // Makes every element but the first beyond reach: the call is being abandoned.
  void stop(size_t first) { lower(first); }

  std::optional<ElementFailure> take() { return std::move(failure_); }

 private:
  void lower(size_t i) {
    size_t seen = index_.load(std::memory_order_relaxed);
    while (i < seen && !index_.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
    }
  }

  std::atomic<size_t> index_;
  std::mutex m_;  // taken only on failure
  std::optional<ElementFailure> failure_;
};

// Runs `element(i) -> Status` for i in [first, last) and gives the failure of
// the lowest failing element, or nothing when all succeed; elements above the
// lowest failure may not have run. A private pool that cannot be built leaves
// its description in `failure`. An exception thrown by an element reaches the
// caller. A call that `cancel` stops ends early with a cancelled() failure.
// REQUIRES: nthreads <= kMaxThreads when builds_pool(last - first, nthreads).
// Elements of uneven or large work (polygons) set `serial_below` from their
// estimated work instead of their count, and `grain` low, so that a few
// thousand of them still spread over every thread.
struct Runner {
  uint64_t nthreads;
  std::string failure;
  const Cancel* cancel = nullptr;
  size_t serial_below = kSerialBelow;
  size_t grain = 1024;

  template <class F>
  std::optional<ElementFailure> operator()(size_t first, size_t last, F&& element) {
    size_t count = last - first;
    const Cancel& stop = cancel ? *cancel : never_cancelled();
    if (count < serial_below || count < 2 || nthreads == 1) {
      Poll poll(stop, kPollEvery);
      for (size_t i = first; i < last; ++i) {
        if (poll()) return ElementFailure{i, cancelled()};
        if (Status s = element(i); !s) return ElementFailure{i, std::move(s).error()};
      }
      if (stop.stopped()) return ElementFailure{first, cancelled()};
      return std::nullopt;
    }
    LowestFailure lowest(last);
    auto run = [&](size_t begin, size_t end) {
      Poll poll(stop, kPollEvery);
      for (size_t i = begin; i < end && !lowest.beyond(i); ++i) {
        if (poll()) return lowest.stop(first);
        if (Status s = element(i); !s) lowest.record(i, std::move(s).error());
      }
    };
    if (nthreads == 0) {
      tbb::parallel_for(tbb::blocked_range<size_t>(first, last, grain),
                        [&](const tbb::blocked_range<size_t>& r) { run(r.begin(), r.end()); });
    } else {
      private_pool(first, last, lowest, run);
    }
    if (stop.stopped()) return ElementFailure{first, cancelled()};
    return lowest.take();
  }

 private:
  // `nthreads` threads, the calling one among them. Chunk k < nthreads goes to
  // thread k, so every thread works; the rest are taken in ascending order as
  // threads finish, which keeps uneven elements balanced, and a thread stops
  // at the first chunk that starts beyond the lowest failure, as all later do.
  template <class Run>
  void private_pool(size_t first, size_t last, LowestFailure& lowest, Run& run) {
    size_t threads = static_cast<size_t>(nthreads);
    size_t count = last - first;
    size_t chunk = std::clamp<size_t>(count / (threads * 8), 1, grain);
    size_t chunks = (count + chunk - 1) / chunk;
    std::atomic<size_t> next{threads};
    std::vector<std::exception_ptr> thrown(threads);
    auto worker = [&](size_t k) {
      try {
        for (size_t c = k; c < chunks && !lowest.beyond(first + c * chunk);
             c = next.fetch_add(1, std::memory_order_relaxed))
          run(first + c * chunk, std::min(last, first + (c + 1) * chunk));
      } catch (...) {
        thrown[k] = std::current_exception();
        lowest.stop(first);
      }
    };
    std::vector<std::thread> pool;
    try {
      pool.reserve(threads - 1);
      for (size_t k = 1; k < threads; ++k) pool.emplace_back(worker, k);
    } catch (const std::system_error& e) {
      failure = "could not start " + std::to_string(threads) + " worker threads: " + e.what();
      lowest.stop(first);
    } catch (...) {
      // The threads already started must be joined before the failure leaves.
      thrown[0] = std::current_exception();
      lowest.stop(first);
    }
    if (failure.empty() && !thrown[0]) worker(0);
    for (std::thread& t : pool) t.join();
    for (const std::exception_ptr& e : thrown)
      if (e) std::rethrow_exception(e);
  }
};

}  // namespace zarel::py
