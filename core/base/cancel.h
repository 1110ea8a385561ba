// Stopping long operations. A caller that may want to stop one hands it a
// Cancel; the operation polls `stop()` every few microseconds to milliseconds
// of work and, once it answers true, drops what it has built and returns the
// `cancelled()` error. Why to stop is the caller's business: its check runs on
// the thread that made the Cancel (at most every 10 ms of polling there), and
// every other thread sees the answer through an atomic flag.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace zarel {

class Cancel {
 public:
  // Never stops.
  Cancel() = default;
  explicit Cancel(std::function<bool()> check);
  Cancel(const Cancel&) = delete;
  Cancel& operator=(const Cancel&) = delete;

  // Whether to stop; cheap, any thread.
  bool stop() const;
  // Whether a poll has answered true.
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  std::function<bool()> check_;
  std::thread::id owner_;
  mutable std::atomic<bool> stopped_{false};
  mutable std::chrono::steady_clock::time_point next_{};  // the owner's next check
};

// For callers that never stop.
const Cancel& never_cancelled();

}  // namespace zarel
