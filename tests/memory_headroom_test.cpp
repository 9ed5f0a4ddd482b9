#include "capture/platform/memory_headroom.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

namespace trovix {
namespace {

TEST(MemoryHeadroom, MeminfoAndEachCgroupLevelSayTheRoomLeft) {
  EXPECT_EQ(MeminfoAvailable("MemTotal:       24683520 kB\nMemFree:        23223012 kB\n"
                             "MemAvailable:   23853548 kB\nBuffers:           12 kB\n"),
            24426033152u);
  EXPECT_EQ(MeminfoAvailable("MemTotal:       24683520 kB\n"), kMemoryUnlimited);

  // Page cache can be given back, but not what processes have mapped of it; v1 counts the
  // hierarchy's in its total_ lines.
  const std::string v1Stat = "cache 50000000\nmapped_file 1\ninactive_file 2\nactive_file 3\n"
                             "total_mapped_file 10000000\ntotal_inactive_file 30000000\ntotal_active_file 20000000\n";
  const std::string v2Stat = "anon 100000000\nfile 50000000\nactive_file 20000000\ninactive_file 30000000\n"
                             "file_mapped 10000000\n";
  const struct {
    const char* limit;
    const char* usage;
    const std::string& stat;
    bool v1;
    uint64_t room;
  } levels[] = {
      {"209715200\n", "150000000\n", v2Stat, false, 99715200},
      {"max\n", "150000000\n", v2Stat, false, kMemoryUnlimited},
      {"209715200\n", "150000000\n", v1Stat, true, 99715200},
      {"9223372036854771712\n", "150000000\n", v1Stat, true, 9223372036744771712u},
      {"100000000\n", "150000000\n", "", false, 0},  // over its limit, nothing to give back
  };
  for (const auto& l : levels) EXPECT_EQ(CgroupRoom(l.limit, l.usage, l.stat, l.v1), l.room) << l.limit << l.v1;
}

TEST(MemoryHeadroom, TheProcesssCgroupFolderIsFoundUnderItsHierarchysMount) {
  const char* mounts =
      "32 23 0:29 / /sys/fs/cgroup rw,relatime - tmpfs tmpfs rw,mode=755\n"
      "33 32 0:30 / /sys/fs/cgroup/cpu rw,relatime - cgroup cgroup rw,cpu\n"
      "36 32 0:33 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
      "42 32 0:39 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n";
  const char* cgroups = "5:devices:/\n4:memory:/process_api/a18d\n1:cpu:/\n0::/\n";
  const struct {
    const char* cgroups;
    const char* mounts;
    bool v1;
    const char* folder;  // nullptr: none
    size_t mountLength;
  } cases[] = {
      {cgroups, mounts, true, "/sys/fs/cgroup/memory/process_api/a18d", 21},
      {cgroups, mounts, false, "/sys/fs/cgroup/unified", 22},
      {"0::/user.slice/session-2.scope\n", "25 1 0:22 / /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n", false,
       "/sys/fs/cgroup/user.slice/session-2.scope", 14},
      {"0::/user.slice/session-2.scope\n", mounts, true, nullptr, 0},
      // A mount of part of the hierarchy (a container's): the path below its root.
      {"4:memory:/docker/abc\n", "60 50 0:33 /docker /sys/fs/cgroup/memory ro - cgroup cgroup rw,memory\n", true,
       "/sys/fs/cgroup/memory/abc", 21},
  };
  for (const auto& c : cases) {
    char folder[PATH_MAX] = {};
    size_t mountLength = 0;
    bool found = MemoryCgroupFolder(c.cgroups, c.mounts, c.v1, folder, sizeof folder, mountLength);
    EXPECT_EQ(found, c.folder != nullptr) << c.cgroups;
    if (c.folder == nullptr) continue;
    EXPECT_STREQ(folder, c.folder);
    EXPECT_EQ(mountLength, c.mountLength);
  }
}

}  // namespace
}  // namespace trovix
