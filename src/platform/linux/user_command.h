#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

namespace tolvi::platform {

// A user a helper program runs as.
struct CommandUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  std::string home;
};

// The account `uid` as the password database names it. False when it cannot be read.
bool lookup_user(uid_t uid, CommandUser& out);
// The account called `name`. False when there is none or it cannot be read.
bool lookup_user(const std::string& name, CommandUser& out);

// The account's supplementary groups as the group database lists them, its own group included;
// empty when they cannot be read.
std::vector<gid_t> account_groups(const CommandUser& user);

// The person at this computer: the user of logind's active session on seat0 when there is one,
// otherwise the user running this process. False when the account cannot be read.
bool console_user(CommandUser& out);

// Runs `argv` (argv[0] looked up in PATH) with no input and its standard output and error
// collected in `output`. As `user` when given and this process may switch to it, with that
// user's HOME, USER and session bus; otherwise as this process. The time-out covers the whole
// run: a program still running then (or still holding its output open) is killed and its exit
// code is -1. False when the program could not be started.
bool run_command(const std::vector<std::string>& argv, const CommandUser* user, int timeout_ms,
                 std::string& output, int& exit_code);

}  // namespace tolvi::platform
