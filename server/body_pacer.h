// Paces an answer body as a link of a given speed would carry it: the --throttle option,
// for tests and benchmarks of slow links. One pacer per body, used from one thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <optional>
#include <thread>

class BodyPacer {
 public:
  // 0: no pacing.
  explicit BodyPacer(long bytesPerSecond) : rate_(bytesPerSecond) {}

  // How many of `wanted` bytes to send next: at most a fiftieth of a second's worth.
  size_t next(size_t wanted) const {
    return rate_ > 0 ? std::min(wanted, static_cast<size_t>(rate_ / 50 + 1)) : wanted;
  }

  // Blocks until the body's bytes up to `end` would have crossed the link, so that a
  // chunk goes out when its last byte would have arrived. The link starts at the first
  // call.
  void waitUntilCarried(size_t end) {
    if (rate_ <= 0) return;
    auto now = std::chrono::steady_clock::now();
    if (!start_) start_ = now;
    std::this_thread::sleep_until(*start_ + std::chrono::microseconds(static_cast<long long>(
                                                double(end) * 1e6 / double(rate_))));
  }

 private:
  long rate_;
  std::optional<std::chrono::steady_clock::time_point> start_;
};
