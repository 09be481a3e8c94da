// A retry clock that spends no time: it records each wait it is asked for, and draws the same
// random fraction every time.
#pragma once

#include <chrono>
#include <vector>

#include "platform/http/retry.h"

namespace testing_support {

class RecordingRetryClock final : public kolvo::RetryClock {
 public:
  explicit RecordingRetryClock(double fraction = 0.25) : fraction_(fraction) {}
  void sleep(std::chrono::milliseconds duration) override { waits.push_back(duration); }
  double random_fraction() override { return fraction_; }

  std::vector<std::chrono::milliseconds> waits;

 private:
  double fraction_;
};

}  // namespace testing_support
