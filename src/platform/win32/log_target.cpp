#include "platform/log_target.h"

#include <windows.h>
// windows.h first: the shell headers need its types.
#include <knownfolders.h>
#include <shlobj.h>

namespace tolvi::platform {

namespace {

constexpr wchar_t kProductFolder[] = L"Tolvi";

}  // namespace

LocalTime local_time_now() {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  return LocalTime{now.wYear,   now.wMonth,  now.wDay,         now.wHour,
                   now.wMinute, now.wSecond, now.wMilliseconds};
}

std::filesystem::path data_folder(DataFolder which) {
  // ProgramData is shared by the service and its agent; the user's local application data
  // holds the tray application's and the one-shot commands' log.
  const KNOWNFOLDERID& id =
      which == DataFolder::Machine ? FOLDERID_ProgramData : FOLDERID_LocalAppData;
  PWSTR known = nullptr;
  std::filesystem::path base(L".");  // no known folder: under the current directory
  if (SUCCEEDED(SHGetKnownFolderPath(id, 0, nullptr, &known)) && known) base = known;
  CoTaskMemFree(known);  // also owed when the call failed; null is allowed
  std::filesystem::path folder = base / kProductFolder;
  // An existing folder is not an error; any other failure shows when the file will not open.
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

std::FILE* open_log_append(const std::filesystem::path& path) {
  // Text mode: every "\n" reaches the file as CR LF.
  return _wfopen(path.c_str(), L"a");
}

}  // namespace tolvi::platform
