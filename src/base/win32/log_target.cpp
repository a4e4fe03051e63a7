#include "base/log_target.h"

#include <windows.h>
// windows.h first: the shell headers need its types.
#include <fcntl.h>
#include <io.h>
#include <knownfolders.h>
#include <shlobj.h>

#include "base/win32/unique_handle.h"

namespace tolvi {

namespace {

constexpr wchar_t kProductFolder[] = L"Tolvi";

// Every sharing mode: the service and its agent append to one log, and either may move it
// aside while the other still has it open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool same_file(HANDLE a, HANDLE b) {
  BY_HANDLE_FILE_INFORMATION first{}, second{};
  return GetFileInformationByHandle(a, &first) && GetFileInformationByHandle(b, &second) &&
         first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh &&
         first.nFileIndexLow == second.nFileIndexLow;
}

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
  // _wfopen would not share deletion, and then no process could move the log aside while
  // another has it open.
  UniqueHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, kShareAll,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return nullptr;
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_APPEND | _O_TEXT);
  if (fd < 0) return nullptr;
  file.release();  // the descriptor owns it now
  // Text mode: every "\n" reaches the file as CR LF.
  std::FILE* stream = _fdopen(fd, "a");
  if (!stream) _close(fd);
  return stream;
}

bool log_still_at(std::FILE* file, const std::filesystem::path& path) {
  const UniqueHandle named(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!named) return false;
  return same_file(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), named.get());
}

bool move_log_aside(const std::filesystem::path& from, const std::filesystem::path& to) {
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

}  // namespace tolvi
