// What a child process of the host holds: the host's sockets are never inheritable, and a child
// started with start_with_output() inherits its output pipe and nothing else, even where the
// host holds inheritable handles. Checked from here: a handle value the child inherited names,
// in the child, the same object as here.
#include "platform/win32/child_process.h"

#include <gtest/gtest.h>
#include <winsock2.h>
// winsock2.h first: windows.h would otherwise pull in the old winsock.h.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/win32/unique_handle.h"
#include "platform/net.h"
#include "platform/text.h"

namespace tolvi::platform {
namespace {

// With this argument the program is the child: it waits to be ended.
constexpr char kWait[] = "--wait";

std::wstring self_path() {
  const std::u16string path = module_path();
  return std::wstring(path.begin(), path.end());
}
std::wstring wait_command() { return L"\"" + self_path() + L"\" --wait"; }

// CompareObjectHandles (Windows 10 and Wine) has no import library entry in mingw-w64.
bool same_object(HANDLE first, HANDLE second) {
  using Compare = BOOL(WINAPI*)(HANDLE, HANDLE);
  static const auto compare = reinterpret_cast<Compare>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CompareObjectHandles")));
  if (!compare) ADD_FAILURE() << "no CompareObjectHandles here";
  return compare && compare(first, second) != FALSE;
}

// Whether `child` holds, under the value `ours` has here, the same object.
bool child_holds(HANDLE child, HANDLE ours) {
  HANDLE copy = nullptr;
  if (!DuplicateHandle(child, ours, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return false;
  }
  const UniqueHandle held(copy);
  return same_object(held.get(), ours);
}

// The old way of starting a child: every inheritable handle of this process goes along.
ChildProcess start_inheriting_everything() {
  std::wstring line = wait_command();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  ChildProcess child;
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &started)) {
    child.error = GetLastError();
    return child;
  }
  child.process.reset(started.hProcess);
  child.thread.reset(started.hThread);
  return child;
}

// Ends the child when the test is done with it.
struct Ended {
  const ChildProcess& child;
  ~Ended() {
    if (child) TerminateProcess(child.process.get(), 0);
  }
};

// A socket made the way Winsock makes them by default: inheritable.
UniqueHandle inheritable_socket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return UniqueHandle();
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  return UniqueHandle(reinterpret_cast<HANDLE>(s));
}

HANDLE as_handle(const Socket& socket) { return reinterpret_cast<HANDLE>(socket.handle()); }

class ChildProcessTest : public ::testing::Test {
 protected:
  void SetUp() override { net_startup(); }
};

TEST_F(ChildProcessTest, HostSocketsAreNotInheritable) {
  int error = 0;
  Socket listener = listen_loopback(0, 1, error);
  ASSERT_TRUE(listener.valid()) << error;
  Socket dual = listen_dual_stack(0, 1, error);
  Socket client, accepted;
  ASSERT_TRUE(loopback_pair(client, accepted));
  std::vector<HANDLE> sockets = {as_handle(listener), as_handle(client), as_handle(accepted)};
  if (dual.valid()) sockets.push_back(as_handle(dual));
  for (HANDLE s : sockets) {
    DWORD flags = 0;
    ASSERT_TRUE(GetHandleInformation(s, &flags));
    EXPECT_EQ(flags & HANDLE_FLAG_INHERIT, 0u);
  }
  // Even a child that takes every inheritable handle gets none of them; an inheritable socket
  // beside them shows that the check sees one that was handed on.
  const UniqueHandle control = inheritable_socket();
  ASSERT_TRUE(control);
  const ChildProcess child = start_inheriting_everything();
  const Ended end{child};
  ASSERT_TRUE(child) << child.error;
  for (HANDLE s : sockets) EXPECT_FALSE(child_holds(child.process.get(), s));
  EXPECT_TRUE(child_holds(child.process.get(), control.get()));
}

TEST_F(ChildProcessTest, StartWithOutputHandsOnTheOutputPipeAndNothingElse) {
  const UniqueHandle secret = inheritable_socket();
  ASSERT_TRUE(secret);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_pipe = nullptr, write_pipe = nullptr;
  ASSERT_TRUE(CreatePipe(&read_pipe, &write_pipe, &inherit, 0));
  const UniqueHandle read_end(read_pipe), write_end(write_pipe);

  const ChildProcess child = start_with_output(nullptr, self_path(), wait_command(), write_pipe);
  const Ended end{child};
  ASSERT_TRUE(child) << child.error;
  EXPECT_TRUE(child_holds(child.process.get(), write_pipe));
  EXPECT_FALSE(child_holds(child.process.get(), read_pipe));
  EXPECT_FALSE(child_holds(child.process.get(), secret.get()));
}

TEST_F(ChildProcessTest, AProgramThatCannotStartSaysWhy) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_pipe = nullptr, write_pipe = nullptr;
  ASSERT_TRUE(CreatePipe(&read_pipe, &write_pipe, &inherit, 0));
  const UniqueHandle read_end(read_pipe), write_end(write_pipe);
  const std::wstring missing = self_path() + L".missing.exe";
  const ChildProcess child =
      start_with_output(nullptr, missing, L"\"" + missing + L"\"", write_pipe);
  EXPECT_FALSE(child);
  EXPECT_NE(child.error, 0u);
}

}  // namespace
}  // namespace tolvi::platform

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], tolvi::platform::kWait) == 0) {
    Sleep(INFINITE);  // ended by the test
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
