#include "base/cancel.h"

namespace zarel {

Cancel::Cancel(std::function<bool()> check) : check_(std::move(check)), owner_(std::this_thread::get_id()) {}

bool Cancel::stop() const {
  if (stopped_.load(std::memory_order_relaxed)) return true;
  if (!check_ || std::this_thread::get_id() != owner_) return false;
  auto now = std::chrono::steady_clock::now();
  if (now < next_) return false;
  next_ = now + std::chrono::milliseconds(10);
  if (!check_()) return false;
  stopped_.store(true, std::memory_order_relaxed);
  return true;
}

const Cancel& never_cancelled() {
  static const Cancel never;
  return never;
}

}  // namespace zarel
