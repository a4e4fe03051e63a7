// The tray toolkit on Windows: a hidden window owning a notification-area icon, a popup menu,
// message boxes, the password dialog built in memory, the clipboard and ShellExecuteW.
#include <windows.h>
// after windows.h
#include <objbase.h>
#include <shellapi.h>

#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "base/secure_zero.h"
#include "platform/text.h"
#include "platform/tray.h"
#include "platform/win32/tray_icon.h"
#include "platform/win32/wide_text.h"

namespace tolvi::platform {
namespace {

constexpr wchar_t kTrayClass[] = L"TolviHostTray";
constexpr wchar_t kDialogClass[] = L"TolviPasswordDlg";
constexpr UINT kTrayNotify = WM_APP + 10;
// Runs the handlers posted from other threads (the status reports).
constexpr UINT kRunPosted = WM_APP + 11;
constexpr UINT kIconId = 1;
constexpr std::size_t kMaxTipUnits = 127;
constexpr int kMinIconSize = 16;

// The password dialog's layout in 96-DPI pixels and its control identifiers.
constexpr int kClientWidth = 370;
constexpr int kClientHeight = 170;
constexpr int kNewField = 101;
constexpr int kConfirmField = 102;
constexpr int kGenerate = 103;
constexpr int kMessageLine = 104;
constexpr int kFieldUnits = 256;

UINT message_box_style(MessageIcon icon, MessageButtons buttons) {
  UINT style = buttons == MessageButtons::OkCancel ? MB_OKCANCEL
               : buttons == MessageButtons::YesNo  ? MB_YESNO
                                                   : MB_OK;
  switch (icon) {
    case MessageIcon::Information:
      return style | MB_ICONINFORMATION;
    case MessageIcon::Warning:
      return style | MB_ICONWARNING;
    case MessageIcon::Error:
      return style | MB_ICONERROR;
    case MessageIcon::Question:
      return style | MB_ICONQUESTION;
  }
  return style;
}

// The state of the password dialog that is running (one at a time, on the tray's thread).
struct DialogState {
  const PasswordFormLogic* logic = nullptr;
  bool accepted = false;
  std::wstring text;
};
DialogState dialog_state;

std::wstring field_text(HWND dialog, int id) {
  wchar_t buffer[kFieldUnits] = {};
  GetDlgItemTextW(dialog, id, buffer, kFieldUnits);
  std::wstring text(buffer);
  SecureZeroMemory(buffer, sizeof buffer);
  return text;
}

LRESULT CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLOSE) {
    DestroyWindow(dialog);
    return 0;
  }
  if (message != WM_COMMAND) return DefWindowProcW(dialog, message, wparam, lparam);
  switch (LOWORD(wparam)) {
    case kGenerate: {
      std::string generated = dialog_state.logic->generate();
      std::wstring text = to_wide(generated);
      secure_zero(generated.data(), generated.size());
      for (int id : {kNewField, kConfirmField}) {
        HWND field = GetDlgItem(dialog, id);
        SendMessageW(field, EM_SETPASSWORDCHAR, 0, 0);  // in clear from now on
        SetWindowTextW(field, text.c_str());
        InvalidateRect(field, nullptr, TRUE);
      }
      SecureZeroMemory(text.data(), text.size() * sizeof(wchar_t));
      HWND first = GetDlgItem(dialog, kNewField);
      SetFocus(first);
      SendMessageW(first, EM_SETSEL, 0, -1);
      SetDlgItemTextW(dialog, kMessageLine,
                      L"Copy this password into Tolvi on your other devices.");
      return 0;
    }
    case IDCANCEL:
      DestroyWindow(dialog);
      return 0;
    case IDOK: {
      std::wstring first = field_text(dialog, kNewField);
      std::wstring second = field_text(dialog, kConfirmField);
      std::string first8 = from_wide(first), second8 = from_wide(second);
      const std::optional<std::string> problem = dialog_state.logic->check(first8, second8);
      secure_zero(first8.data(), first8.size());
      secure_zero(second8.data(), second8.size());
      SecureZeroMemory(second.data(), second.size() * sizeof(wchar_t));
      if (problem) {
        SecureZeroMemory(first.data(), first.size() * sizeof(wchar_t));
        MessageBoxW(dialog, to_wide(*problem).c_str(), L"Tolvi Host", MB_ICONWARNING);
        return 0;
      }
      dialog_state.text = std::move(first);
      dialog_state.accepted = true;
      DestroyWindow(dialog);
      return 0;
    }
    default:
      return DefWindowProcW(dialog, message, wparam, lparam);
  }
}

class WindowsTrayToolkit : public TrayToolkit {
 public:
  WindowsTrayToolkit() {
    // The shell calls (ShellExecuteW, the notification icon) want a single-threaded apartment
    // on the thread that makes them; the toolkit's thread is that thread.
    com_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    instance_ = GetModuleHandleW(nullptr);
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = window_procedure;
    window_class.hInstance = instance_;
    window_class.lpszClassName = kTrayClass;
    RegisterClassW(&window_class);
    window_ = CreateWindowExW(0, kTrayClass, L"Tolvi Host", 0, 0, 0, 0, 0, nullptr, nullptr,
                              instance_, nullptr);
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    taskbar_created_ = RegisterWindowMessageW(L"TaskbarCreated");
    record_.cbSize = sizeof record_;
    record_.hWnd = window_;
    record_.uID = kIconId;
    record_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
    record_.uCallbackMessage = kTrayNotify;
    record_.uVersion = NOTIFYICON_VERSION_4;
  }
  ~WindowsTrayToolkit() override {
    remove_icon();
    if (icon_) DestroyIcon(icon_);
    if (window_) DestroyWindow(window_);
    if (com_) CoUninitialize();
  }
  bool valid() const { return window_ != nullptr; }

  void set_icon(PictureSource picture, const std::string& tip) override {
    picture_ = std::move(picture);
    tip_ = tip;
    show(!added_);
  }
  void remove_icon() override {
    if (added_) Shell_NotifyIconW(NIM_DELETE, &record_);
    added_ = false;
  }
  void on_activate(std::function<void()> handler) override { activate_ = std::move(handler); }
  void on_session_end(std::function<void()> handler) override { session_end_ = std::move(handler); }
  void every(std::chrono::milliseconds period, std::function<void()> handler) override {
    const UINT_PTR id = timers_.size() + 1;
    timers_[id] = std::move(handler);
    SetTimer(window_, id, static_cast<UINT>(period.count()), nullptr);
  }
  void post_to_main_thread(std::function<void()> handler) override {
    {
      std::lock_guard<std::mutex> guard(posted_lock_);
      posted_.push_back(std::move(handler));
    }
    PostMessageW(window_, kRunPosted, 0, 0);
  }
  void show_menu(const std::vector<TrayMenuEntry>& entries,
                 std::function<void(int)> chosen) override {
    HMENU menu = CreatePopupMenu();
    for (const TrayMenuEntry& e : entries) {
      const std::wstring text = to_wide(e.text);
      switch (e.kind) {
        case TrayMenuEntry::Kind::Separator:
          AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
          break;
        case TrayMenuEntry::Kind::Label:
          AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, text.c_str());
          break;
        case TrayMenuEntry::Kind::Command:
          AppendMenuW(menu, MF_STRING | (e.checked ? MF_CHECKED : 0), static_cast<UINT_PTR>(e.id),
                      text.c_str());
          break;
      }
    }
    POINT cursor = {};
    GetCursorPos(&cursor);
    SetForegroundWindow(window_);
    const int id =
        static_cast<int>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON,
                                        cursor.x, cursor.y, 0, window_, nullptr));
    DestroyMenu(menu);
    PostMessageW(window_, WM_NULL, 0, 0);
    if (id != 0) chosen(id);
  }
  MessageAnswer message_box(const std::string& text, const std::string& title, MessageIcon icon,
                            MessageButtons buttons) override {
    const int answer = MessageBoxW(nullptr, to_wide(text).c_str(), to_wide(title).c_str(),
                                   message_box_style(icon, buttons) | MB_TOPMOST);
    switch (answer) {
      case IDYES:
        return MessageAnswer::Yes;
      case IDNO:
        return MessageAnswer::No;
      case IDCANCEL:
        return MessageAnswer::Cancel;
      default:
        return MessageAnswer::Ok;
    }
  }
  std::optional<std::string> password_form(const PasswordFormLogic& logic) override;
  void raise_password_form() override {
    if (!dialog_) return;
    ShowWindow(dialog_, SW_RESTORE);
    SetForegroundWindow(dialog_);
  }
  bool copy_to_clipboard(const std::string& text) override {
    std::wstring w = to_wide(text);
    if (!OpenClipboard(window_)) return false;
    EmptyClipboard();
    const std::size_t bytes = (w.size() + 1) * sizeof(wchar_t);
    bool done = false;
    if (HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, bytes)) {
      std::memcpy(GlobalLock(block), w.c_str(), bytes);
      GlobalUnlock(block);
      done = SetClipboardData(CF_UNICODETEXT, block) != nullptr;
      if (!done) GlobalFree(block);
    }
    CloseClipboard();
    SecureZeroMemory(w.data(), w.size() * sizeof(wchar_t));
    return done;
  }
  void open_with_default_application(const std::string& target) override {
    ShellExecuteW(nullptr, L"open", to_wide(target).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  }
  void run() override {
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  void quit() override { PostQuitMessage(0); }

  HWND window() const { return window_; }

 private:
  static LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam,
                                           LPARAM lparam) {
    auto* self = reinterpret_cast<WindowsTrayToolkit*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wparam, lparam);
    if (message == kRunPosted) {
      self->run_posted();
      return 0;
    }
    if (message == kTrayNotify) {
      switch (LOWORD(lparam)) {
        case NIN_SELECT:
        case NIN_KEYSELECT:
        case WM_CONTEXTMENU:
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
          if (self->activate_) self->activate_();
          break;
        default:
          break;
      }
      return 0;
    }
    if (message == WM_TIMER) {
      auto it = self->timers_.find(wparam);
      if (it != self->timers_.end()) {
        it->second();
        return 0;
      }
    }
    if (message == WM_ENDSESSION) {
      if (self->session_end_) self->session_end_();
      return 0;
    }
    if (message != 0 && message == self->taskbar_created_) {
      self->added_ = false;  // the shell was restarted: the icon is added again
      self->show(true);
      return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
  }

  void run_posted() {
    std::deque<std::function<void()>> handlers;
    {
      std::lock_guard<std::mutex> guard(posted_lock_);
      handlers.swap(posted_);
    }
    for (auto& handler : handlers) handler();
  }

  void show(bool add) {
    if (!picture_) return;
    const int metric = GetSystemMetrics(SM_CXSMICON);
    const int size = metric > kMinIconSize ? metric : kMinIconSize;
    if (icon_) DestroyIcon(icon_);
    icon_ = make_tray_icon(picture_(size), size);
    record_.hIcon = icon_;
    const std::u16string tip = to_utf16(tip_);
    const std::size_t units = tip.size() < kMaxTipUnits ? tip.size() : kMaxTipUnits;
    std::memset(record_.szTip, 0, sizeof record_.szTip);
    std::memcpy(record_.szTip, tip.data(), units * sizeof(wchar_t));
    Shell_NotifyIconW(add ? NIM_ADD : NIM_MODIFY, &record_);
    if (add && !added_) Shell_NotifyIconW(NIM_SETVERSION, &record_);
    added_ = true;
  }

  bool com_ = false;  // COM was initialised here, to be undone
  HINSTANCE instance_ = nullptr;
  HWND window_ = nullptr;
  HWND dialog_ = nullptr;  // the password dialog while password_form() runs
  UINT taskbar_created_ = 0;
  NOTIFYICONDATAW record_ = {};
  HICON icon_ = nullptr;
  bool added_ = false;
  PictureSource picture_;
  std::string tip_;
  std::function<void()> activate_;
  std::function<void()> session_end_;
  std::map<UINT_PTR, std::function<void()>> timers_;
  std::mutex posted_lock_;
  std::deque<std::function<void()>> posted_;
};

std::optional<std::string> WindowsTrayToolkit::password_form(const PasswordFormLogic& logic) {
  // One dialog at a time: the dialog's state is shared, and a second one would take it over.
  if (dialog_) {
    raise_password_form();
    return std::nullopt;
  }
  static bool registered = false;
  if (!registered) {
    WNDCLASSW dialog_class = {};
    dialog_class.lpfnWndProc = dialog_procedure;
    dialog_class.hInstance = instance_;
    dialog_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    dialog_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    dialog_class.lpszClassName = kDialogClass;
    registered = RegisterClassW(&dialog_class) != 0;
  }
  const int dpi = static_cast<int>(GetDpiForSystem());
  const auto scale = [dpi](int length) { return MulDiv(length, dpi, 96); };
  RECT frame = {0, 0, scale(kClientWidth), scale(kClientHeight)};
  AdjustWindowRectEx(&frame, WS_CAPTION | WS_SYSMENU, FALSE, WS_EX_DLGMODALFRAME);
  const int width = frame.right - frame.left, height = frame.bottom - frame.top;
  HWND dialog = CreateWindowExW(WS_EX_DLGMODALFRAME | WS_EX_TOPMOST, kDialogClass,
                                L"Set Tolvi Host Password", WS_VISIBLE | WS_CAPTION | WS_SYSMENU,
                                (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                nullptr, nullptr, instance_, nullptr);
  if (!dialog) return std::nullopt;
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof metrics;
  SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0,
                             static_cast<UINT>(dpi));
  HFONT font = CreateFontIndirectW(&metrics.lfMessageFont);
  struct Control {
    const wchar_t* window_class;
    const wchar_t* text;
    DWORD style;
    int x, y, width, height, id;
  };
  const Control controls[] = {
      {L"STATIC", L"New password:", 0, 12, 16, 100, 20, 0},
      {L"EDIT", L"", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, 115, 12, 243, 24, kNewField},
      {L"STATIC", L"Confirm:", 0, 12, 50, 100, 20, 0},
      {L"EDIT", L"", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, 115, 46, 243, 24, kConfirmField},
      {L"STATIC", L"", 0, 12, 82, 346, 20, kMessageLine},
      {L"BUTTON", L"Generate Secure Password", WS_TABSTOP, 12, 120, 170, 28, kGenerate},
      {L"BUTTON", L"Save", WS_TABSTOP | BS_DEFPUSHBUTTON, 193, 120, 80, 28, IDOK},
      {L"BUTTON", L"Cancel", WS_TABSTOP, 278, 120, 80, 28, IDCANCEL},
  };
  for (const Control& c : controls) {
    const bool edit = std::wcscmp(c.window_class, L"EDIT") == 0;
    HWND control = CreateWindowExW(
        edit ? WS_EX_CLIENTEDGE : 0, c.window_class, c.text, WS_CHILD | WS_VISIBLE | c.style,
        scale(c.x), scale(c.y), scale(c.width), scale(c.height), dialog,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance_, nullptr);
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
  SetForegroundWindow(dialog);
  SetFocus(GetDlgItem(dialog, kNewField));
  dialog_state.logic = &logic;
  dialog_state.accepted = false;
  dialog_ = dialog;
  MSG message;
  while (IsWindow(dialog)) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got <= 0) {
      // A quit request ends the dialog and is passed on to the tray's own loop, which it was
      // meant for; swallowed here, it would leave the tray running without its icon.
      if (got == 0) PostQuitMessage(static_cast<int>(message.wParam));
      DestroyWindow(dialog);
      break;
    }
    if (!IsDialogMessageW(dialog, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  dialog_ = nullptr;
  DeleteObject(font);
  std::optional<std::string> result;
  if (dialog_state.accepted) result = from_wide(dialog_state.text);
  SecureZeroMemory(dialog_state.text.data(), dialog_state.text.size() * sizeof(wchar_t));
  dialog_state.text.clear();
  dialog_state.logic = nullptr;
  return result;
}

}  // namespace

std::unique_ptr<TrayToolkit> make_tray_toolkit() {
  auto toolkit = std::make_unique<WindowsTrayToolkit>();
  if (!toolkit->valid()) return nullptr;
  return toolkit;
}

}  // namespace tolvi::platform
