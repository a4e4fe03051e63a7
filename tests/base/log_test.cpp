#include "base/log.h"

#include <gtest/gtest.h>
#include <unistd.h>

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
  for (std::uintmax_t size : {LogWriter::kDiscardAboveBytes, LogWriter::kDiscardAboveBytes + 1}) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, 'o');
    LogWriter log([&] { return path; }, nullptr);
    log.writef("first");
    log.writef("second");
    const std::string text = read_all(path);
    const bool kept = size == LogWriter::kDiscardAboveBytes;
    EXPECT_EQ(text.size() > size, kept) << size;
    EXPECT_EQ(text.find("] first\n") != std::string::npos, true);
    if (!kept) {
      EXPECT_EQ(text.rfind("[", 0), 0u);  // a new file starts with the first line
    }
  }
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
