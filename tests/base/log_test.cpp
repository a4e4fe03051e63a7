#include "base/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "base/run_mode.h"

namespace tolvi {
namespace {

namespace fs = std::filesystem;

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class LogTest : public ::testing::Test {
 protected:
  LogTest() {
    char pattern[] = "/tmp/tolvi-log-XXXXXX";
    folder = mkdtemp(pattern);
    path = folder / "tolvi-host.log";
  }
  ~LogTest() override {
    if (err) std::fclose(err);
    fs::remove_all(folder);
  }
  std::string err_text() {
    std::fflush(err);
    std::rewind(err);
    std::string text;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, err)) text.append(buffer, n);
    return text;
  }

  fs::path folder, path;
  std::FILE* err = std::tmpfile();
};

TEST_F(LogTest, LineHasTimestampAndReachesFileAndStderr) {
  LogWriter log([&] { return path; }, err);
  log.writef("%s: handshake ok (%d)", "10.0.0.2", 42);
  const std::string line = read_all(path);
  EXPECT_TRUE(std::regex_match(
      line,
      std::regex(
          R"(\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] 10\.0\.0\.2: handshake ok \(42\)\n)")))
      << line;
  EXPECT_EQ(err_text(), line);
}

TEST_F(LogTest, MessageIsCutTo1023Bytes) {
  LogWriter log([&] { return path; }, nullptr);
  log.writef("%s", std::string(2000, 'x').c_str());
  const std::string line = read_all(path);
  const std::size_t start = line.find("] ") + 2;
  EXPECT_EQ(line.size() - start - 1, 1023u);
  EXPECT_EQ(line.back(), '\n');
}

TEST_F(LogTest, OversizedFileIsDiscardedOnlyAboveFiveMebibytes) {
  fs::path previous = path;
  previous += ".1";
  for (std::uintmax_t size : {LogWriter::kDiscardAboveBytes, LogWriter::kDiscardAboveBytes + 1}) {
    fs::remove(previous);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, 'o');
    LogWriter log([&] { return path; }, nullptr);
    log.writef("first");
    log.writef("second");
    const std::string text = read_all(path);
    EXPECT_EQ(text.rfind("[", 0), 0u) << size;  // the current file starts with a line
    EXPECT_NE(text.find("] second\n"), std::string::npos);
    if (size == LogWriter::kDiscardAboveBytes) {
      // Kept: the first line is appended, which takes the file past the limit, so it is moved
      // aside whole and the second line starts the next file.
      const std::string old = read_all(previous);
      const std::string first_line = old.substr(std::min<std::size_t>(size, old.size()));
      EXPECT_EQ(first_line.size(), sizeof "[2026-03-07 09:05:03.042] first\n" - 1);
      EXPECT_EQ(first_line.rfind("] first\n"), first_line.size() - 8);
      EXPECT_EQ(text.find("first"), std::string::npos);
    } else {
      EXPECT_FALSE(fs::exists(previous));
      EXPECT_NE(text.find("] first\n"), std::string::npos);
    }
  }
}

// The numbers of the "line %d" lines in a file, in order.
std::vector<int> numbers_in(const fs::path& p) {
  std::istringstream lines(read_all(p));
  std::vector<int> numbers;
  std::string line;
  const std::regex shape(R"(\[[^\]]+\] (\w) line (\d+) x+)");
  while (std::getline(lines, line)) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, shape)) << line;
    if (!m.empty()) numbers.push_back(std::stoi(m[2]));
  }
  return numbers;
}

TEST_F(LogTest, RotatesPastTheLimitKeepingOnePreviousFileAndEveryLine) {
  constexpr std::uintmax_t kLimit = 2000;
  constexpr int kLines = 400;
  fs::path previous = path;
  previous += ".1";
  std::ofstream(previous) << "stale\n";
  std::ofstream(path) << "[2026-01-01 00:00:00.000] a line 0 x\n";
  LogWriter log([&] { return path; }, nullptr, kLimit);
  std::size_t longest = 0;
  for (int i = 1; i < kLines; ++i) {
    const std::string padding(1 + i % 50, 'x');
    log.writef("a line %d %s", i, padding.c_str());
    longest = std::max<std::size_t>(longest, 40 + padding.size());
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  EXPECT_GT(fs::file_size(previous), kLimit);  // only a full file is moved aside
  EXPECT_LE(fs::file_size(previous), kLimit + longest);
  EXPECT_LE(fs::file_size(path), kLimit);
  // The two files hold the latest lines without a gap, the previous file first.
  std::vector<int> numbers = numbers_in(previous);
  const std::vector<int> current = numbers_in(path);
  numbers.insert(numbers.end(), current.begin(), current.end());
  ASSERT_FALSE(numbers.empty());
  EXPECT_EQ(numbers.back(), kLines - 1);
  for (std::size_t i = 1; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], numbers[i - 1] + 1);
}

// The service and its agent append to one file with a stream each. When one of them has moved
// the full file aside, the other must follow to the fresh file, not move that one aside too.
TEST_F(LogTest, TwoWritersOfOneFileRotateItOnce) {
  constexpr std::uintmax_t kLimit = 3000;
  fs::path previous = path;
  previous += ".1";
  LogWriter service([&] { return path; }, nullptr, kLimit);
  LogWriter agent([&] { return path; }, nullptr, kLimit);
  for (int i = 0; i < 300; ++i) {
    service.writef("s line %d xxxxxxxxxxxxxxxxxxxx", i);
    agent.writef("a line %d xxxxxxxxxxxxxxxxxxxx", i);
    if (fs::exists(previous)) {
      ASSERT_GT(fs::file_size(previous), kLimit) << i;
    }
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
  const std::string text = read_all(path);
  EXPECT_NE(text.find("] s line 299 "), std::string::npos);
  EXPECT_NE(text.find("] a line 299 "), std::string::npos);
}

TEST_F(LogTest, UnopenableFileStillLogsToStderrAndIsNotRetried) {
  int opens = 0;
  LogWriter log(
      [&] {
        ++opens;
        return folder / "missing-folder" / "tolvi-host.log";
      },
      err);
  log.writef("one");
  log.writef("two");
  EXPECT_EQ(opens, 1);
  const std::string text = err_text();
  EXPECT_NE(text.find("] one\n"), std::string::npos);
  EXPECT_NE(text.find("] two\n"), std::string::npos);
}

TEST_F(LogTest, LinesFromManyThreadsNeverInterleave) {
  LogWriter log([&] { return path; }, nullptr);
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      const std::string body(100 + t, char('a' + t));
      for (int i = 0; i < kLines; ++i) log.writef("%d %s", t, body.c_str());
    });
  }
  for (auto& th : threads) th.join();
  std::istringstream lines(read_all(path));
  std::string line;
  int count = 0;
  const std::regex shape(R"(\[[^\]]+\] (\d) ([a-d]+))");
  while (std::getline(lines, line)) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, shape)) << line;
    const int t = std::stoi(m[1]);
    EXPECT_EQ(m[2].str(), std::string(100 + t, char('a' + t)));
    ++count;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

TEST(LogLocation, FollowsTheRunMode) {
  char pattern[] = "/tmp/tolvi-state-XXXXXX";
  const std::string state = mkdtemp(pattern);
  setenv("XDG_STATE_HOME", state.c_str(), 1);
  const struct {
    RunMode mode;
    fs::path expected;
  } cases[] = {{RunMode::Tray, fs::path(state) / "tolvi" / "tolvi-host.log"},
               {RunMode::Command, fs::path(state) / "tolvi" / "tolvi-host.log"},
               {RunMode::Agent, "/var/log/tolvi/tolvi-host.log"},
               {RunMode::Service, "/var/log/tolvi/tolvi-host.log"}};
  for (const auto& c : cases) {
    run_mode = c.mode;
    EXPECT_EQ(log_file_path(), c.expected);
  }
  run_mode = RunMode::Tray;
  EXPECT_EQ(machine_log_file_path(), "/var/log/tolvi/tolvi-host.log");
  EXPECT_TRUE(fs::is_directory(fs::path(state) / "tolvi"));
  unsetenv("XDG_STATE_HOME");
  fs::remove_all(state);
}

}  // namespace
}  // namespace tolvi
