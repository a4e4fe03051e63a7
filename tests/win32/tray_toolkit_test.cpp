// The Windows tray toolkit under Wine: its window, the icon record, the menu's dispatch and the
// password dialog driven by messages from a second thread, as a user would drive it.
#include <gtest/gtest.h>
#include <windows.h>
// after windows.h
#include <objbase.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/tray.h"
#include "platform/win32/tray_icon.h"
#include "tray/tray_picture.h"

namespace tolvi::platform {
namespace {

using tolvi::draw_tray_picture;
using tolvi::StatusKind;

// Waits (a bounded number of turns) for a top-level window of `window_class` and `title`.
HWND find_window(const wchar_t* window_class, const wchar_t* title) {
  for (int turn = 0; turn < 200; ++turn) {
    if (HWND w = FindWindowW(window_class, title)) return w;
    Sleep(25);
  }
  return nullptr;
}

std::wstring text_of(HWND dialog, int id) {
  wchar_t buffer[256] = {};
  GetDlgItemTextW(dialog, id, buffer, 256);
  return buffer;
}

// Closes the message box the dialog shows for a refused entry, returning its text.
std::wstring close_message_box() {
  HWND box = find_window(L"#32770", L"Tolvi Host");
  if (!box) return L"(no message box)";
  std::wstring text = text_of(box, 0xFFFF);  // the static text of a message box
  PostMessageW(box, WM_COMMAND, IDOK, 0);
  return text;
}

TEST(WindowsTrayToolkit, WindowIconAndPostedWork) {
  std::unique_ptr<TrayToolkit> toolkit = make_tray_toolkit();
  ASSERT_TRUE(toolkit);
  HWND window = FindWindowW(L"TolviHostTray", L"Tolvi Host");
  ASSERT_NE(window, nullptr);
  int drawn_at = 0;
  toolkit->set_icon(
      [&](int size) {
        drawn_at = size;
        return std::vector<std::uint32_t>(static_cast<std::size_t>(size) * size, 0xFF2EB84A);
      },
      std::string(200, 'x'));
  EXPECT_GE(drawn_at, 16);
  // Work posted from another thread runs on the toolkit's thread, inside run().
  std::thread poster([&] { toolkit->post_to_main_thread([&] { toolkit->quit(); }); });
  toolkit->run();
  poster.join();
  // A click on the icon (the shell's callback message) reaches the activate handler.
  bool activated = false;
  toolkit->on_activate([&] { activated = true; });
  SendMessageW(window, WM_APP + 10, 0, WM_LBUTTONUP);
  EXPECT_TRUE(activated);
  toolkit->remove_icon();
}

TEST(WindowsTrayToolkit, IconCarriesOurPictureWithItsAlpha) {
  for (int size : {16, 20, 32}) {
    const std::vector<std::uint32_t> picture = draw_tray_picture(size, StatusKind::Connected);
    HICON icon = make_tray_icon(picture, size);
    ASSERT_NE(icon, nullptr);
    ICONINFO info = {};
    ASSERT_TRUE(GetIconInfo(icon, &info));
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = size;
    format.bmiHeader.biHeight = -size;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    std::vector<std::uint32_t> shown(picture.size(), 0);
    HDC screen = GetDC(nullptr);
    const int rows =
        GetDIBits(screen, info.hbmColor, 0, size, shown.data(), &format, DIB_RGB_COLORS);
    ReleaseDC(nullptr, screen);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    DestroyIcon(icon);
    EXPECT_EQ(rows, size);
    EXPECT_EQ(shown, picture) << size;
  }
}

TEST(WindowsTrayToolkit, PasswordDialogValidatesAndReturnsTheSavedText) {
  std::unique_ptr<TrayToolkit> toolkit = make_tray_toolkit();
  ASSERT_TRUE(toolkit);
  PasswordFormLogic logic;
  logic.check = [](const std::string& a, const std::string& b) -> std::optional<std::string> {
    if (a.size() < 6) return std::string("Use at least 6 characters.");
    if (a != b) return std::string("The passwords don't match.");
    return std::nullopt;
  };
  logic.generate = [] { return std::string("Gen3rated!Password22"); };

  std::wstring short_text, mismatch_text, hint, first, second;
  std::thread user([&] {
    HWND dialog = find_window(L"TolviPasswordDlg", L"Set Tolvi Host Password");
    if (!dialog) return;
    SetDlgItemTextW(dialog, 101, L"abcde");
    SetDlgItemTextW(dialog, 102, L"abcde");
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    short_text = close_message_box();
    Sleep(100);
    SetDlgItemTextW(dialog, 101, L"abcdef");
    SetDlgItemTextW(dialog, 102, L"abcdeF");
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    mismatch_text = close_message_box();
    Sleep(100);
    SendMessageW(dialog, WM_COMMAND, 103, 0);
    hint = text_of(dialog, 104);
    first = text_of(dialog, 101);
    second = text_of(dialog, 102);
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  });
  const std::optional<std::string> saved = toolkit->password_form(logic);
  user.join();
  EXPECT_EQ(short_text, L"Use at least 6 characters.");
  EXPECT_EQ(mismatch_text, L"The passwords don't match.");
  EXPECT_EQ(hint, L"Copy this password into Tolvi on your other devices.");
  EXPECT_EQ(first, L"Gen3rated!Password22");
  EXPECT_EQ(second, first);
  EXPECT_EQ(saved, std::optional<std::string>("Gen3rated!Password22"));

  // Cancel gives nothing.
  std::thread canceller([] {
    if (HWND dialog = find_window(L"TolviPasswordDlg", nullptr)) {
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    }
  });
  EXPECT_EQ(toolkit->password_form(logic), std::nullopt);
  canceller.join();
}

TEST(WindowsTrayToolkit, ItsThreadIsASingleThreadedApartment) {
  std::unique_ptr<TrayToolkit> toolkit = make_tray_toolkit();
  ASSERT_TRUE(toolkit);
  // Asking for the other apartment model on the same thread is refused once COM is set up.
  const HRESULT again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (SUCCEEDED(again)) CoUninitialize();
  EXPECT_EQ(again, RPC_E_CHANGED_MODE);
}

TEST(WindowsTrayToolkit, ASecondFormWhileOneIsOpenIsRefusedAndTheFirstStillSaves) {
  std::unique_ptr<TrayToolkit> toolkit = make_tray_toolkit();
  ASSERT_TRUE(toolkit);
  PasswordFormLogic logic;
  logic.check = [](const std::string&, const std::string&) { return std::optional<std::string>(); };
  logic.generate = [] { return std::string("Gen3rated!Password22"); };
  std::optional<std::string> second = std::string("not run");
  bool first_open_then = false;
  std::thread user([&] {
    HWND dialog = find_window(L"TolviPasswordDlg", nullptr);
    if (!dialog) return;
    // Runs inside the first dialog's loop, as a menu command chosen from the icon would.
    toolkit->post_to_main_thread([&] {
      second = toolkit->password_form(logic);
      first_open_then = IsWindow(dialog) != FALSE;
    });
    Sleep(200);
    SetDlgItemTextW(dialog, 101, L"secret1");
    SetDlgItemTextW(dialog, 102, L"secret1");
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
  });
  const std::optional<std::string> first = toolkit->password_form(logic);
  user.join();
  EXPECT_EQ(second, std::nullopt);
  EXPECT_TRUE(first_open_then);
  EXPECT_EQ(first, std::optional<std::string>("secret1"));
}

TEST(WindowsTrayToolkit, AQuitRequestDuringTheFormReachesTheTraysLoop) {
  std::unique_ptr<TrayToolkit> toolkit = make_tray_toolkit();
  ASSERT_TRUE(toolkit);
  PasswordFormLogic logic;
  logic.check = [](const std::string&, const std::string&) { return std::optional<std::string>(); };
  logic.generate = [] { return std::string(); };
  std::thread user([&] {
    if (find_window(L"TolviPasswordDlg", nullptr))
      toolkit->post_to_main_thread([&] { toolkit->quit(); });
  });
  EXPECT_EQ(toolkit->password_form(logic), std::nullopt);
  user.join();
  EXPECT_EQ(FindWindowW(L"TolviPasswordDlg", nullptr), nullptr);
  // The request is still there for the tray's own loop.
  MSG message;
  EXPECT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

}  // namespace
}  // namespace tolvi::platform
