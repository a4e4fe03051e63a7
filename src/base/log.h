#pragma once
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>

// Format checking by the GNU printf rules everywhere: the Windows build uses the C runtime's
// standard-conforming printf (__USE_MINGW_ANSI_STDIO), so %zu and %lld mean what they say.
#if defined(__clang__)
#define TOLVI_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define TOLVI_PRINTF_FORMAT(f, a) __attribute__((format(gnu_printf, f, a)))
#endif

namespace tolvi {

// The one log call: printf-style (%s for UTF-8, %ls for wide text), one timestamped line to
// stderr and to the log file. Callable from any thread at any time; never fails.
void log_message(const char* format, ...) TOLVI_PRINTF_FORMAT(1, 2);

// Where this process logs: the machine folder for the agent and the service, the user's
// folder for the tray and one-shot commands. Each call creates the folder when missing.
std::filesystem::path log_file_path();
std::filesystem::path machine_log_file_path();

// A log file and its lock. log_message() writes through one process-wide LogWriter whose path
// is log_file_path(); tests make their own with another path, error stream and size limit.
class LogWriter {
 public:
  static constexpr std::size_t kMaxMessageBytes = 1023;
  // A file larger than this when the process first logs is discarded.
  static constexpr std::uintmax_t kDiscardAboveBytes = 5 * 1024 * 1024;
  // A file that grows larger than this while the process runs is moved to "<name>.1" (replacing
  // the one before) and started afresh, so a log never takes more than two such files.
  static constexpr std::uintmax_t kRotateAboveBytes = kDiscardAboveBytes;

  LogWriter(std::function<std::filesystem::path()> path, std::FILE* error_stream,
            std::uintmax_t rotate_above = kRotateAboveBytes);
  ~LogWriter();
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  void write(const char* format, std::va_list args);
  void writef(const char* format, ...) TOLVI_PRINTF_FORMAT(2, 3);

 private:
  void rotate();

  std::function<std::filesystem::path()> path_;
  std::FILE* error_stream_;
  const std::uintmax_t rotate_above_;
  std::mutex lock_;
  bool opened_ = false;
  std::filesystem::path file_path_;
  std::FILE* file_ = nullptr;
  std::uintmax_t file_bytes_ = 0;
};

}  // namespace tolvi
