// The clipboard on Windows: a message-only window of class "TolviClipboard" on the watcher's
// thread listens for WM_CLIPBOARDUPDATE; texts from other threads arrive as WM_APP + 1 with a
// heap string in lParam that the window procedure takes over; WM_CLOSE ends the loop.
#include <windows.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "platform/clipboard.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {

namespace {

constexpr UINT kPostedTextMessage = WM_APP + 1;
constexpr wchar_t kWindowClass[] = L"TolviClipboard";

// The clipboard opened for our window, closed with the scope.
class OpenedClipboard {
 public:
  explicit OpenedClipboard(HWND window) : open_(OpenClipboard(window) != 0) {}
  ~OpenedClipboard() {
    if (open_) CloseClipboard();
  }
  OpenedClipboard(const OpenedClipboard&) = delete;
  OpenedClipboard& operator=(const OpenedClipboard&) = delete;
  bool open() const { return open_; }

 private:
  bool open_;
};

class Win32ClipboardWatcher : public ClipboardWatcher {
 public:
  bool create() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance;
    window_class.lpszClassName = kWindowClass;
    // Fails when an earlier session of this process registered it already; that is fine.
    RegisterClassW(&window_class);
    const HWND window = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        instance, nullptr);
    if (!window) return false;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    AddClipboardFormatListener(window);
    window_.store(window);
    return true;
  }

  ~Win32ClipboardWatcher() override {
    if (const HWND window = window_.load()) DestroyWindow(window);
    // Texts posted while the loop was ending are still queued: free them.
    MSG message;
    while (PeekMessageW(&message, nullptr, kPostedTextMessage, kPostedTextMessage, PM_REMOVE)) {
      std::unique_ptr<std::string> dropped(reinterpret_cast<std::string*>(message.lParam));
    }
  }

  bool run(ClipboardEvents& events) override {
    events_ = &events;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    events_ = nullptr;
    return true;
  }

  bool post_text(std::string text) override {
    // A null window would post to the calling thread instead.
    const HWND window = window_.load();
    if (!window) return false;
    auto copy = std::make_unique<std::string>(std::move(text));
    if (!PostMessageW(window, kPostedTextMessage, 0, reinterpret_cast<LPARAM>(copy.get()))) {
      return false;
    }
    copy.release();  // the window procedure frees it
    return true;
  }

  // Posted, so it is handled in order on the loop's thread, also when it comes before run().
  void stop() override {
    if (const HWND window = window_.load()) PostMessageW(window, WM_CLOSE, 0, 0);
  }

  std::optional<std::string> read_text() override {
    OpenedClipboard clipboard(window_.load());
    if (!clipboard.open()) return std::nullopt;
    const HANDLE data = GetClipboardData(CF_UNICODETEXT);
    if (!data) return std::nullopt;
    const auto* wide = static_cast<const wchar_t*>(GlobalLock(data));
    if (!wide) return std::nullopt;
    // Up to the first NUL.
    std::optional<std::string> text = from_wide(wide);
    GlobalUnlock(data);
    return text;
  }

  bool write_text(const std::string& text) override {
    // Up to the first NUL; invalid UTF-8 becomes U+FFFD.
    const std::wstring units = to_wide(text);
    const SIZE_T bytes = (units.size() + 1) * sizeof(wchar_t);  // with the terminator
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (!memory) return false;
    OpenedClipboard clipboard(window_.load());
    auto* wide = clipboard.open() ? static_cast<wchar_t*>(GlobalLock(memory)) : nullptr;
    if (!wide) {
      GlobalFree(memory);
      return false;
    }
    std::memcpy(wide, units.c_str(), bytes);
    GlobalUnlock(memory);
    EmptyClipboard();
    // The clipboard owns the memory once this succeeds; it stays empty when it does not.
    if (!SetClipboardData(CF_UNICODETEXT, memory)) GlobalFree(memory);
    return true;
  }

 private:
  static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
    auto* self = reinterpret_cast<Win32ClipboardWatcher*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
      case WM_CLIPBOARDUPDATE:
        if (!self || !self->events_) break;
        self->events_->on_clipboard_changed();
        return 0;
      case kPostedTextMessage: {
        std::unique_ptr<std::string> text(reinterpret_cast<std::string*>(lparam));
        if (self && self->events_) self->events_->on_posted_text(*text);
        return 0;
      }
      case WM_CLOSE:
        DestroyWindow(window);
        return 0;
      case WM_DESTROY:
        if (self) {
          RemoveClipboardFormatListener(window);
          self->window_.store(nullptr);
        }
        PostQuitMessage(0);
        return 0;
      default:
        break;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  // Null once the window is gone; read by the threads that post to it.
  std::atomic<HWND> window_{nullptr};
  ClipboardEvents* events_ = nullptr;
};

}  // namespace

std::unique_ptr<ClipboardWatcher> make_clipboard_watcher(const std::string&) {
  auto watcher = std::make_unique<Win32ClipboardWatcher>();
  if (!watcher->create()) return nullptr;
  return watcher;
}

}  // namespace tolvi::platform
