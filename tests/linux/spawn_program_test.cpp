#include "platform/linux/spawn_program.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/linux/unique_fd.h"

namespace tolvi::platform {
namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

struct Outcome {
  int error = 0;
  std::string output;
  int exit_code = -1;
};

// Runs `script` under /bin/sh with its output and errors on a pipe (at 1 and 2) and `options`;
// reads everything it writes and waits for it.
Outcome run_script(const std::string& script, SpawnOptions options) {
  Outcome run;
  UniqueFd read_end, write_end;
  if (!make_pipe(read_end, write_end)) return run;
  options.descriptors.insert(options.descriptors.begin(), {{write_end.get(), STDOUT_FILENO},
                                                           {write_end.get(), STDERR_FILENO}});
  pid_t pid = -1;
  run.error = spawn_program({"/bin/sh", "-c", script}, options, pid);
  write_end.reset();
  if (run.error != 0) return run;
  char buffer[256];
  ssize_t got = 0;
  while ((got = read(read_end.get(), buffer, sizeof buffer)) > 0) {
    run.output.append(buffer, static_cast<std::size_t>(got));
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The descriptors from 3 to 20 the shell has open, as "3 5 ".
constexpr char kListDescriptors[] =
    "for f in 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do "
    "[ -e /proc/$$/fd/$f ] && printf '%s ' $f; done; true";

// Both ways of starting a program: posix_spawn, and the forked copy that takes on an account
// (this account's own numbers, so that the test needs no other account).
class SpawnProgramTest : public ::testing::TestWithParam<bool> {
 protected:
  SpawnOptions options() const {
    SpawnOptions o;
    if (GetParam()) o.identity = SpawnIdentity{getuid(), getgid(), {getgid()}};
    return o;
  }
  void SetUp() override {
    if (GetParam() && geteuid() != 0) GTEST_SKIP() << "taking on an account needs root";
  }
};

TEST_P(SpawnProgramTest, PlacesDescriptorsAndClosesTheRestFrom3) {
  // Left open across exec on purpose: only close_from_3 keeps it from the child.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  UniqueFd leaked_read(ends[0]), leaked_write(ends[1]);
  UniqueFd placed(open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(placed.valid());

  SpawnOptions given = options();
  given.descriptors = {{placed.get(), 19}};
  given.close_from_3 = true;
  const Outcome closed = run_script(kListDescriptors, given);
  ASSERT_EQ(closed.error, 0);
  EXPECT_EQ(closed.output, "19 ");

  given = options();
  const Outcome inherited = run_script(kListDescriptors, given);
  ASSERT_EQ(inherited.error, 0);
  EXPECT_NE(inherited.output.find(std::to_string(leaked_read.get()) + " "), std::string::npos)
      << inherited.output;
  // Close-on-exec descriptors never reach the child, whatever the options.
  EXPECT_EQ(inherited.output.find(std::to_string(placed.get()) + " "), std::string::npos)
      << inherited.output;
}

TEST_P(SpawnProgramTest, EnvironmentWorkingFolderAndSessionReachTheChild) {
  SpawnOptions given = options();
  given.working_folder = "/usr";
  given.new_session = true;
  const std::vector<std::string> environment{"ONLY=this", "PATH=/usr/bin:/bin"};
  UniqueFd read_end, write_end;
  ASSERT_TRUE(make_pipe(read_end, write_end));
  given.descriptors = {{write_end.get(), STDOUT_FILENO}};
  pid_t pid = -1;
  ASSERT_EQ(spawn_program({"/bin/sh", "-c",
                           "read -r pid name state parent group sid rest < /proc/$$/stat; "
                           "echo \"$ONLY $HOME $(pwd) $sid $$\""},
                          given, pid, &environment),
            0);
  write_end.reset();
  char buffer[256];
  const ssize_t got = read(read_end.get(), buffer, sizeof buffer);
  waitpid(pid, nullptr, 0);
  ASSERT_GT(got, 0);
  const std::string pid_text = std::to_string(pid);
  // $HOME is not ours: only the given environment is there. The session's id is the child's own.
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(got)),
            "this  /usr " + pid_text + " " + pid_text + "\n");
}

TEST_P(SpawnProgramTest, FailedStartIsReportedAndLeavesNoChild) {
  const struct {
    std::vector<std::string> argv;
    SpawnOptions options;
    int error;
  } cases[] = {
      {{"/nonexistent/program"}, options(), ENOENT},
      {{"/etc/passwd"}, options(), EACCES},
      {{}, options(), EINVAL},
      // A source that an earlier placement has overwritten is refused before anything starts.
      {{"/bin/true"}, [&] {
         SpawnOptions o = options();
         o.descriptors = {{5, 6}, {6, 7}};
         return o;
       }(),
       EINVAL},
  };
  for (const auto& c : cases) {
    pid_t pid = -1;
    EXPECT_EQ(spawn_program(c.argv, c.options, pid), c.error) << (c.argv.empty() ? "" : c.argv[0]);
  }
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_P(SpawnProgramTest, SearchPathFindsTheProgram) {
  SpawnOptions given = options();
  given.search_path = true;
  pid_t pid = -1;
  ASSERT_EQ(spawn_program({"true"}, given, pid), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

INSTANTIATE_TEST_SUITE_P(DirectOrAsAccount, SpawnProgramTest, ::testing::Bool());

// Root hands the program to another account: its numbers, only the groups given, and "/" for a
// folder that account may not enter.
TEST(SpawnProgramIdentity, TakesOnTheAccount) {
  if (geteuid() != 0) GTEST_SKIP() << "taking on another account needs root";
  SpawnOptions given;
  given.identity = SpawnIdentity{kNobody, kNogroup, {}};
  given.working_folder = "/root";  // 0700 root's
  const Outcome run = run_script("echo $(id -u) $(id -g) $(id -G) $(pwd)", given);
  ASSERT_EQ(run.error, 0);
  EXPECT_EQ(run.output, "65534 65534 65534 /\n");

  SpawnOptions unknown;
  unknown.identity = SpawnIdentity{kNobody, kNogroup, {}};
  unknown.working_folder = "/nonexistent";
  EXPECT_EQ(run_script("pwd", unknown).output, "/\n");
}

}  // namespace
}  // namespace tolvi::platform
