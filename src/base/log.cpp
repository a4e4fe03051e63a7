#include "base/log.h"

#include <system_error>

#include "base/run_mode.h"
#include "platform/log_target.h"

namespace tolvi {
namespace {

constexpr char kLogFileName[] = "tolvi-host.log";

std::filesystem::path path_in(platform::DataFolder folder) {
  return platform::data_folder(folder) / kLogFileName;
}

}  // namespace

std::filesystem::path log_file_path() {
  const RunMode mode = run_mode.load();
  const bool machine = mode == RunMode::Agent || mode == RunMode::Service;
  return path_in(machine ? platform::DataFolder::Machine : platform::DataFolder::User);
}

std::filesystem::path machine_log_file_path() { return path_in(platform::DataFolder::Machine); }

LogWriter::LogWriter(std::function<std::filesystem::path()> path, std::FILE* error_stream)
    : path_(std::move(path)), error_stream_(error_stream) {}

LogWriter::~LogWriter() {
  if (file_) std::fclose(file_);
}

void LogWriter::writef(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  write(format, args);
  va_end(args);
}

void LogWriter::write(const char* format, std::va_list args) {
  // Time and formatting happen before the lock, so lines from two threads may carry
  // timestamps slightly out of order, but never interleave.
  const platform::LocalTime t = platform::local_time_now();
  char message[kMaxMessageBytes + 1];
  if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';

  std::lock_guard<std::mutex> guard(lock_);
  if (!opened_) {
    // Once per process: an over-large file from earlier runs is discarded, and a failed open
    // is not retried (the lines still reach stderr).
    opened_ = true;
    const std::filesystem::path path = path_();
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    if (!ec && size > kDiscardAboveBytes) std::filesystem::remove(path, ec);
    file_ = platform::open_log_append(path);
  }
  static constexpr char kLine[] = "[%04d-%02d-%02d %02d:%02d:%02d.%03d] %s\n";
  for (std::FILE* out : {error_stream_, file_}) {
    if (!out) continue;
    std::fprintf(out, kLine, t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond,
                 message);
    std::fflush(out);
  }
}

void log_message(const char* format, ...) {
  // Never destroyed: threads may log while the process exits.
  static LogWriter* const writer = new LogWriter(log_file_path, stderr);
  std::va_list args;
  va_start(args, format);
  writer->write(format, args);
  va_end(args);
}

}  // namespace tolvi
