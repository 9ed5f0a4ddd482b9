#include "settings/ini_file.h"

#include <gtest/gtest.h>

#include <string>

namespace trovix {
namespace {

TEST(IniRead, NamesMatchWithoutCaseAndMissingOnesGiveTheDefault) {
  std::string file = "; comment=Yes\r\n[other]\r\nOnTop=Yes\r\n[ config ]\r\n  ontop =  Yes \r\nOnTcp=\r\n";
  EXPECT_EQ(GetProfileString(file, "Config", "OnTop", "No"), "Yes");
  EXPECT_EQ(GetProfileString(file, "CONFIG", "onTCP", "Yes"), "");
  EXPECT_EQ(GetProfileString(file, "Config", "OnUdp", "No"), "No");
  EXPECT_EQ(GetProfileString(file, "Missing", "OnTop", "x"), "x");
  EXPECT_EQ(GetProfileString(file, "other", "; comment", "d"), "d");
  EXPECT_EQ(GetProfileString("", "Config", "OnTop", "No"), "No");
}

TEST(IniRead, OddFiles) {
  // Keys before any section belong to none.
  EXPECT_EQ(GetProfileString("OnTop=Yes\r\n", "Config", "OnTop", "No"), "No");
  // The first key and the first section of a name count.
  EXPECT_EQ(GetProfileString("[Config]\nA=1\na=2\n[Config]\nB=3\n", "Config", "A", ""), "1");
  EXPECT_EQ(GetProfileString("[Config]\nA=1\n[Config]\nB=3\n", "Config", "B", "none"), "none");
  // No final line end, bare LF lines, and '=' inside a value.
  EXPECT_EQ(GetProfileString("[Config]\nFromIPAddress:port=a=b", "Config", "FromIPAddress:port", ""), "a=b");
  // Binary junk around a good line.
  const char bytes[] = "\x00\xff[\x01\r\n[Config]\r\n\x00\x7f=\x80\r\nOnRaw=Yes\r\n\xfe";
  std::string junk(bytes, sizeof bytes - 1);
  EXPECT_EQ(GetProfileString(junk, "Config", "OnRaw", "No"), "Yes");
  // A very long line is read whole; cutting is the caller's business.
  std::string longValue(100000, 'x');
  EXPECT_EQ(GetProfileString("[Config]\r\nBindToInterface=" + longValue + "\r\n", "Config", "BindToInterface", "").size(),
            100000u);
}

TEST(IniWrite, NewFileThenOneKeyChangedAtATime) {
  std::string file;
  WriteProfileString(file, "Config", "OnTop", "No");
  WriteProfileString(file, "Config", "OnTcp", "Yes");
  EXPECT_EQ(file, "[Config]\r\nOnTop=No\r\nOnTcp=Yes\r\n");
  WriteProfileString(file, "config", "ONTOP", "Yes");
  EXPECT_EQ(file, "[Config]\r\nOnTop=Yes\r\nOnTcp=Yes\r\n");
}

TEST(IniWrite, KeepsEveryOtherLineAndAddsAtTheSectionsEnd) {
  std::string file = "; mine\n[Config]\n  onudp = No\nUnknown=kept\n\n[Other]\nOnUdp=1\n";
  WriteProfileString(file, "Config", "OnUdp", "Yes");
  WriteProfileString(file, "Config", "OnRaw", "No");
  EXPECT_EQ(file, "; mine\n[Config]\nonudp=Yes\nUnknown=kept\nOnRaw=No\r\n\n[Other]\nOnUdp=1\n");
}

TEST(IniWrite, MissingFinalLineEndAndOtherSections) {
  std::string file = "[Config]\r\nOnTop=No";
  WriteProfileString(file, "Config", "OnTcp", "No");
  EXPECT_EQ(file, "[Config]\r\nOnTop=No\r\nOnTcp=No\r\n");
  file = "[Other]\r\nx=1";
  WriteProfileString(file, "Config", "OnTcp", "No");
  EXPECT_EQ(file, "[Other]\r\nx=1\r\n[Config]\r\nOnTcp=No\r\n");
}

TEST(IniWrite, AValueCannotAddLines) {
  std::string file;
  WriteProfileString(file, "Config", "BindToInterface", "1.2.3.4\r\n[Evil]\r\nx=y");
  EXPECT_EQ(file, "[Config]\r\nBindToInterface=1.2.3.4\r\n");
}

}  // namespace
}  // namespace trovix
