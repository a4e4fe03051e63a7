#include "base/log.h"

#include <algorithm>
#include <system_error>

#include "base/log_target.h"
#include "base/run_mode.h"

namespace tolvi {
namespace {

constexpr char kLogFileName[] = "tolvi-host.log";
constexpr char kPreviousSuffix[] = ".1";

std::filesystem::path path_in(DataFolder folder) { return data_folder(folder) / kLogFileName; }

}  // namespace

std::filesystem::path log_file_path() {
  const RunMode mode = run_mode.load();
  const bool machine = mode == RunMode::Agent || mode == RunMode::Service;
  return path_in(machine ? DataFolder::Machine : DataFolder::User);
}

std::filesystem::path machine_log_file_path() { return path_in(DataFolder::Machine); }

LogWriter::LogWriter(std::function<std::filesystem::path()> path, std::FILE* error_stream,
                     std::uintmax_t rotate_above)
    : path_(std::move(path)), error_stream_(error_stream), rotate_above_(rotate_above) {}

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
  const LocalTime t = local_time_now();
  char message[kMaxMessageBytes + 1];
  if (std::vsnprintf(message, sizeof message, format, args) < 0) message[0] = '\0';

  static constexpr char kLine[] = "[%04d-%02d-%02d %02d:%02d:%02d.%03d] %s\n";
  char line[sizeof message + 64];
  const int length = std::snprintf(line, sizeof line, kLine, t.year, t.month, t.day, t.hour,
                                   t.minute, t.second, t.millisecond, message);
  const std::size_t bytes = length < 0 ? 0 : std::min(std::size_t(length), sizeof line - 1);

  std::lock_guard<std::mutex> guard(lock_);
  if (!opened_) {
    // Once per process: an over-large file from earlier runs is discarded, and a failed open
    // is not retried (the lines still reach stderr).
    opened_ = true;
    file_path_ = path_();
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(file_path_, ec);
    if (!ec && size > kDiscardAboveBytes) std::filesystem::remove(file_path_, ec);
    file_ = open_log_append(file_path_);
    file_bytes_ = std::filesystem::file_size(file_path_, ec);
    if (ec) file_bytes_ = 0;
  }
  for (std::FILE* out : {error_stream_, file_}) {
    if (!out) continue;
    std::fwrite(line, 1, bytes, out);
    std::fflush(out);
  }
  if (file_) {
    // The position after an appended line is the file's size, counting the line ends the text
    // mode adds and the lines of another process appending to the same file.
    const long end = std::ftell(file_);
    file_bytes_ = end >= 0 ? std::uintmax_t(end) : file_bytes_ + bytes;
    if (file_bytes_ > rotate_above_) rotate();
  }
}

void LogWriter::rotate() {
  // Called with the lock held; it never logs. The line that passed the limit is already in the
  // old file, and the next one goes to the fresh file.
  const bool still_ours = log_still_at(file_, file_path_);
  std::fclose(file_);  // first: Windows moves no file that this process holds open
  if (still_ours) {
    std::filesystem::path previous = file_path_;
    previous += kPreviousSuffix;
    // A failed move (another process holding the file without sharing) keeps the file; the
    // next line tries again.
    move_log_aside(file_path_, previous);
  }
  // Moved aside by another process writing the same log: its fresh file is ours too.
  file_ = open_log_append(file_path_);
  std::error_code ec;
  file_bytes_ = std::filesystem::file_size(file_path_, ec);
  if (ec) file_bytes_ = 0;
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
