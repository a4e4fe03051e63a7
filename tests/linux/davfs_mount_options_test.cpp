#include "platform/linux/davfs_mount_options.h"

#include <gtest/gtest.h>

namespace tolvi::platform {
namespace {

TEST(DavfsMountOptions, OwnedByTheConsoleUserAndClosedToEveryoneElse) {
  struct Case {
    uid_t uid;
    gid_t gid;
    bool read_only;
    const char* options;
  };
  const Case cases[] = {
      {1000, 1000, false,
       "uid=1000,gid=1000,dir_mode=0700,file_mode=0600,conf=/run/tolvi/davfs2-4242.conf,rw"},
      {1001, 100, true,
       "uid=1001,gid=100,dir_mode=0700,file_mode=0600,conf=/run/tolvi/davfs2-4242.conf,ro"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(davfs_mount_options(c.uid, c.gid, "/run/tolvi/davfs2-4242.conf", c.read_only),
              c.options);
  }
}

}  // namespace
}  // namespace tolvi::platform
