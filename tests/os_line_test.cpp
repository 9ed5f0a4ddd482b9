// The first line of the packet list: the refusal table over version records, and the
// Linux line from uname and an os-release file this test writes.
#include <sys/utsname.h>

#include <gtest/gtest.h>

#include <string>

#include "capture/os_line.h"
#include "capture/platform/linux_os_version.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

struct Case {
  VersionRecord record;
  const char* line;
  bool refused;
};

TEST(OsLine, VersionRecordTable) {
  const std::string longPack(200, 'p');
  const Case cases[] = {
      {{2, 6, 0, 6000, "ignored"}, "Microsoft Windows 6.0 build 6000", false},
      {{2, 10, 0, 19045, ""}, "Microsoft Windows 10.0 build 19045", false},
      {{2, 5, 2, 3790, "Service Pack 2"}, "Microsoft Windows Server 2003 family build 3790 Service Pack 2", false},
      {{2, 5, 1, 2600, "Service Pack 3"}, "Microsoft Windows XP build 2600 Service Pack 3", false},
      {{2, 5, 0, 2195, ""}, "Microsoft Windows 2000 build 2195 ", false},
      {{2, 5, 3, 1, "x"}, "", false},
      {{2, 4, 0, 1381, "Service Pack 6"}, "Microsoft Windows NT", false},
      {{1, 4, 0, 950, " C"}, "Microsoft Windows 95 OSR2 ", true},
      {{1, 4, 0, 950, " B"}, "Microsoft Windows 95 OSR2 ", true},
      {{1, 4, 0, 950, "C"}, "Microsoft Windows 95 ", true},  // the letter must be second
      {{1, 4, 10, 2222, " A "}, "Microsoft Windows 98 SE ", true},
      {{1, 4, 10, 1998, ""}, "Microsoft Windows 98 ", true},
      {{1, 4, 90, 3000, " "}, "Microsoft Windows Millennium Edition", true},
      {{1, 3, 0, 0, ""}, "", true},
      {{3, 5, 1, 0, "ignored"}, "", false},
  };
  for (const Case& c : cases) {
    OsInfo info = ComposeOsLine(c.record);
    EXPECT_TRUE(info.queried);
    EXPECT_EQ(info.line, c.line) << c.record.platformId << " " << c.record.major << "." << c.record.minor;
    EXPECT_EQ(info.refused, c.refused) << c.line;
  }
}

TEST(OsLine, TheLongestLineIsKeptWholeAndControlBytesDoNotReachTheList) {
  OsInfo info = ComposeOsLine({2, 5, 1, 4294967295u, "\tSP\n" + std::string(200, 'p')});
  EXPECT_EQ(info.line, "Microsoft Windows XP build 4294967295 ?SP?" + std::string(kServicePackMax - 4, 'p'));
}

TEST(OsLine, ARecordSourceReachesTheRefusalAndAMissingRecordIsAFailedQuery) {
  VersionRecordSource windows98(VersionRecord{1, 4, 10, 1998, ""});
  OsInfo info = windows98.QueryOsInfo();
  EXPECT_TRUE(info.queried && info.refused);
  EXPECT_EQ(info.line, "Microsoft Windows 98 ");
  EXPECT_FALSE(VersionRecordSource(std::nullopt).QueryOsInfo().queried);
}

class LinuxOsLine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(uname(&system_), 0);
    kernel_ = std::string(system_.sysname) + " " + system_.release + " " + system_.machine;
  }
  OsInfo Query(std::vector<std::string> paths) { return LinuxSystemVersion(std::move(paths)).QueryOsInfo(); }

  test::TempFolder folder_;
  utsname system_{};
  std::string kernel_;
};

TEST_F(LinuxOsLine, DistributionNameThenKernelAndNeverRefused) {
  std::string release = folder_.Write("os-release",
                                      "NAME=\"Other\"\n"
                                      "# PRETTY_NAME=\"commented out\"\n"
                                      "PRETTY_NAME=\"Trial \\\"Linux\\\" 1.0 \\\\ test\"  \r\n"
                                      "ID=trial\n");
  OsInfo info = Query({folder_.Path("absent"), release});
  EXPECT_TRUE(info.queried);
  EXPECT_FALSE(info.refused);
  EXPECT_EQ(info.line, "Trial \"Linux\" 1.0 \\ test, " + kernel_);
}

TEST_F(LinuxOsLine, FallsBackToNameAndVersionThenToTheKernelAlone) {
  std::string plain = folder_.Write("plain", "NAME='Single Quoted'\nVERSION=7\n");
  EXPECT_EQ(Query({plain}).line, "Single Quoted 7, " + kernel_);
  std::string empty = folder_.Write("empty", "");
  EXPECT_EQ(Query({empty, plain}).line, kernel_);  // the first existing file is the one read
  OsInfo none = Query({folder_.Path("absent")});
  EXPECT_TRUE(none.queried);
  EXPECT_EQ(none.line, kernel_);
}

TEST_F(LinuxOsLine, AHostileNameIsPrintableAndBounded) {
  std::string release = folder_.Write("os-release", "PRETTY_NAME=\"a\tb\x1b[31m" + std::string(300, 'n') + "\"\n");
  std::string expected = ("a?b?[31m" + std::string(300, 'n')).substr(0, kPrettyNameMax);
  EXPECT_EQ(Query({release}).line, expected + ", " + kernel_);
}

}  // namespace
}  // namespace trovix
