#pragma once
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace tolvi {

// Starts a thread. A thread that cannot be started is the one error the host raises itself:
// nothing catches it and the process ends.
template <typename F>
std::thread start_thread(F&& body) {
  try {
    return std::thread(std::forward<F>(body));
  } catch (const std::system_error&) {
    throw std::runtime_error("thread constructor failed");
  }
}

}  // namespace tolvi
