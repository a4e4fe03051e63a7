#include "platform/win32/child_process.h"

#include <userenv.h>

#include <vector>

namespace tolvi::platform {
namespace {

constexpr DWORD kOneAttribute = 1;

// The attribute list that limits inheritance to one handle; deleted with it.
class InheritOnly {
 public:
  explicit InheritOnly(HANDLE* handle) {
    SIZE_T bytes = 0;
    InitializeProcThreadAttributeList(nullptr, kOneAttribute, 0, &bytes);
    storage_.resize(bytes);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!InitializeProcThreadAttributeList(list, kOneAttribute, 0, &bytes)) return;
    list_ = list;
    if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handle,
                                   sizeof *handle, nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list_);
      list_ = nullptr;
    }
  }
  ~InheritOnly() {
    if (list_) DeleteProcThreadAttributeList(list_);
  }
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;

  LPPROC_THREAD_ATTRIBUTE_LIST list() const { return list_; }

 private:
  std::vector<unsigned char> storage_;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// The user's environment block for a token, destroyed with it.
class UserEnvironment {
 public:
  explicit UserEnvironment(HANDLE token) {
    if (token && !CreateEnvironmentBlock(&block_, token, FALSE)) block_ = nullptr;
  }
  ~UserEnvironment() {
    if (block_) DestroyEnvironmentBlock(block_);
  }
  UserEnvironment(const UserEnvironment&) = delete;
  UserEnvironment& operator=(const UserEnvironment&) = delete;

  void* block() const { return block_; }

 private:
  void* block_ = nullptr;
};

}  // namespace

ChildProcess start_with_output(HANDLE token, const std::wstring& program, std::wstring command_line,
                               HANDLE output) {
  HANDLE inherited = output;
  const InheritOnly only(&inherited);
  ChildProcess child;
  // Without the list every inheritable handle would go to the child: refuse rather than that.
  if (!only.list()) {
    child.error = GetLastError();
    return child;
  }
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  startup.StartupInfo.wShowWindow = SW_HIDE;
  startup.StartupInfo.hStdOutput = output;
  startup.StartupInfo.hStdError = output;
  startup.StartupInfo.hStdInput = nullptr;
  wchar_t desktop[] = L"winsta0\\default";
  startup.StartupInfo.lpDesktop = desktop;
  startup.lpAttributeList = only.list();
  const DWORD flags = EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW;
  const UserEnvironment environment(token);  // none without a token
  PROCESS_INFORMATION started{};
  // Inheritance on (TRUE), limited to the list.
  const BOOL ok =
      token ? CreateProcessAsUserW(token, program.c_str(), command_line.data(), nullptr, nullptr,
                                   TRUE, flags | CREATE_UNICODE_ENVIRONMENT, environment.block(),
                                   nullptr, &startup.StartupInfo, &started)
            : CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, flags,
                             nullptr, nullptr, &startup.StartupInfo, &started);
  if (!ok) {
    child.error = GetLastError();  // read before anything else can overwrite it
    return child;
  }
  child.process.reset(started.hProcess);
  child.thread.reset(started.hThread);
  return child;
}

}  // namespace tolvi::platform
