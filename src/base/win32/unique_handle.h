#pragma once
#include <windows.h>

#include <utility>

namespace tolvi {

// Owns one kernel handle (a process, a thread, a token, a pipe end, a file, an event) and
// closes it. Win32 reports a failed open with null or with INVALID_HANDLE_VALUE, depending on
// the call; both count as empty here.
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle)
      : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  ~UniqueHandle() { reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Gives the handle up without closing it (another owner took it).
  HANDLE release() { return std::exchange(handle_, nullptr); }
  void reset(HANDLE handle = nullptr) {
    if (handle_) CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace tolvi
