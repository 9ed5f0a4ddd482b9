// A capture file read into the larger store inside a memory cgroup of the test's own, far
// smaller than the file: the reading must end as a full store ends, not in the OOM killer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pcap/dlt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "capture/sources/local_source.h"
#include "capture/sources/stream_source.h"
#include "capture/packet_store.h"
#include "tests/datagram_builder.h"
#include "tests/pcap_bytes.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

// A v1 memory cgroup below the process's own, with a limit, and the process in it for the
// object's life.
class MemoryCgroup {
 public:
  explicit MemoryCgroup(uint64_t limit) {
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
      size_t at = line.find(":memory:");
      if (at != std::string::npos) home_ = "/sys/fs/cgroup/memory" + line.substr(at + 8);
    }
    if (home_.empty()) {
      problem_ = "no v1 memory cgroup holds this process";
      return;
    }
    folder_ = home_ + "/trovix-test-" + std::to_string(getpid());
    if (mkdir(folder_.c_str(), 0755) != 0 && errno != EEXIST) {
      problem_ = "cannot make " + folder_ + ": " + std::strerror(errno);
      folder_.clear();
    } else if (!Write(folder_ + "/memory.limit_in_bytes", std::to_string(limit)) ||
               !Write(folder_ + "/cgroup.procs", std::to_string(getpid()))) {
      problem_ = "cannot limit " + folder_ + " or move into it";
    }
  }
  ~MemoryCgroup() {
    if (folder_.empty()) return;
    Write(home_ + "/cgroup.procs", std::to_string(getpid()));
    // Busy until the kernel has moved every thread out.
    for (int tries = 0; rmdir(folder_.c_str()) != 0 && errno == EBUSY && tries < 100; ++tries) usleep(10000);
  }
  const std::string& problem() const { return problem_; }

 private:
  static bool Write(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.flush();
    return out.good();
  }
  std::string home_, folder_, problem_;
};

TEST(MemoryCgroup, AFileLargerThanTheCgroupEndsTheReadingAsAFullStore) {
  // 4,600 records of a 65,535-byte UDP datagram: a 301 MB file, a hole after each header.
  constexpr uint32_t kRecords = 4600;
  test::TempFolder folder;
  std::string path = folder.Path("big.pcap");
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  std::string head = test::PcapHeader(DLT_RAW);
  ASSERT_EQ(write(fd, head.data(), head.size()), ssize_t(head.size()));
  auto datagram = test::MakeDatagram({.protocol = 17, .sport = 7, .dport = 9, .payload = 65507});
  std::string record = test::Words({1, 0, 65535, 65535}) + std::string(datagram.begin(), datagram.begin() + 28);
  off_t at = off_t(head.size());
  for (uint32_t k = 0; k < kRecords; ++k, at += 16 + 65535) {
    ASSERT_EQ(pwrite(fd, record.data(), record.size(), at), ssize_t(record.size()));
  }
  ASSERT_EQ(ftruncate(fd, at), 0);
  close(fd);

  MemoryCgroup cgroup(200 << 20);
  if (!cgroup.problem().empty()) GTEST_SKIP() << cgroup.problem();
  auto state = std::make_unique<CaptureState>();
  PrepareCapture(*state, {"", "*:*", "*:*", false, false, true, false, false, false, false, true, -1, true});
  FileReading reading;
  ASSERT_EQ(StartFileReader(*state, nullptr, open(path.c_str(), O_RDONLY | O_CLOEXEC), reading), 0);
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (state->run.capturing.load() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_FALSE(state->run.capturing.load());
  StopCaptureThread(*state);
  EXPECT_EQ(reading.end, FileEnd::kStoreFull);
  EXPECT_TRUE(state->store.memoryShort.load());
  // At least 64 MiB of datagrams, at most the 200 MB less the 64 MiB margin.
  uint32_t stored = PublishedPacketCount(state->store);
  EXPECT_GE(stored, 1024u);
  EXPECT_LE(stored, 2176u);
  EXPECT_EQ(reading.records, stored);
  StoredPacket last;
  ASSERT_TRUE(LocatePacket(state->store, int32_t(stored - 1), last));
  EXPECT_EQ(last.length, 65535);
  UseLargerStore(*state, false);  // its pages are given back while still in the cgroup
}

}  // namespace
}  // namespace trovix
