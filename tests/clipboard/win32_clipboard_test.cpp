// The clipboard watcher's window against the system clipboard (run under Wine). The test
// thread plays the other program, with a message-only window of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "clipboard/clipboard_sync.h"
#include "platform/clipboard.h"

namespace tolvi {
namespace {

constexpr auto kWait = std::chrono::seconds(20);

class Win32ClipboardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window_, nullptr);
    sync_.start([this](const std::string& text) {
      std::lock_guard<std::mutex> guard(lock_);
      sent_.push_back(text);
      changed_.notify_all();
    });
  }
  void TearDown() override {
    sync_.stop();
    if (window_) DestroyWindow(window_);
  }

  // Another program copies `text` (UTF-16), trying again while the watcher holds the
  // clipboard open.
  bool copy(const std::wstring& text) {
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < until) {
      if (copy_once(text)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  bool copy_once(const std::wstring& text) {
    if (!OpenClipboard(window_)) return false;
    EmptyClipboard();
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    std::memcpy(GlobalLock(memory), text.c_str(), bytes);
    GlobalUnlock(memory);
    const bool set = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    if (!set) GlobalFree(memory);
    CloseClipboard();
    return set;
  }
  std::optional<std::wstring> paste() {
    if (!OpenClipboard(window_)) return std::nullopt;
    std::optional<std::wstring> text;
    if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
      text = static_cast<const wchar_t*>(GlobalLock(data));
      GlobalUnlock(data);
    }
    CloseClipboard();
    return text;
  }
  bool paste_becomes(const std::wstring& expected) {
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < until) {
      if (paste() == expected) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  // Texts given before the watcher's window exists are dropped: gives one until it arrives.
  bool wait_ready() {
    const auto until = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < until) {
      sync_.set_text("ready");
      if (paste() == L"ready") return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  std::optional<std::string> next() {
    std::unique_lock<std::mutex> guard(lock_);
    if (!changed_.wait_for(guard, kWait, [&] { return taken_ < sent_.size(); })) return {};
    return sent_[taken_++];
  }

  HWND window_ = nullptr;
  ClipboardSync sync_{[] { return platform::make_clipboard_watcher(""); }};
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> sent_;
  std::size_t taken_ = 0;
};

TEST_F(Win32ClipboardTest, TextsGoBothWaysWithoutEcho) {
  ASSERT_TRUE(wait_ready());
  // U+00E9 and U+20AC: two- and three-byte UTF-8.
  ASSERT_TRUE(copy(L"caf\u00e9 \u20ac"));
  EXPECT_EQ(next(), "caf\xC3\xA9 \xE2\x82\xAC");

  sync_.set_text(std::string("ab\0cd", 5));
  EXPECT_TRUE(paste_becomes(L"ab"));
  sync_.set_text("");
  EXPECT_TRUE(paste_becomes(L""));
  // Nothing of the client's came back: the next text sent is the next copy.
  ASSERT_TRUE(copy(L"after"));
  EXPECT_EQ(next(), "after");
}

// The window may not exist yet when stop() comes; registering the class again fails harmlessly.
TEST(Win32Clipboard, StopRightAfterStartReturns) {
  for (int i = 0; i < 20; ++i) {
    ClipboardSync sync([] { return platform::make_clipboard_watcher(""); });
    sync.start([](const std::string&) {});
    sync.stop();
  }
}

}  // namespace
}  // namespace tolvi
