#pragma once
#include <chrono>
#include <thread>

namespace tolvi::testing {

// True once `done` holds, asked every `step` for up to `limit` (and once more at the end). For
// what another thread or process does in its own time; the bound only keeps a failure from
// hanging the suite.
template <typename Done>
bool eventually(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10),
                std::chrono::milliseconds step = std::chrono::milliseconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(step);
  }
  return done();
}

}  // namespace tolvi::testing
