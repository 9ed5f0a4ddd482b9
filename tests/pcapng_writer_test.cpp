// The pcapng file a save writes: its blocks as our reader and tshark read them, the
// programs in packet comments, the names of addresses, and the comments read back.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <fstream>
#include <memory>

#include <fcntl.h>

#include "capture/packet_store.h"
#include "capture/program_comment.h"
#include "capture/sources/local_source.h"
#include "capture/sources/pcap_writer.h"
#include "capture/sources/pcapng_writer.h"
#include "capture/sources/stream_source.h"
#include "tests/command_output.h"
#include "tests/datagram_builder.h"
#include "tests/pcap_bytes.h"
#include "tests/temp_files.h"

namespace trovix {
namespace {

struct Bytes {
  const std::vector<uint8_t>& bytes;
  size_t at = 0;
};

size_t FromBytes(void* context, uint8_t* into, size_t size) {
  auto& b = *static_cast<Bytes*>(context);
  size_t n = std::min(size, b.bytes.size() - b.at);
  std::memcpy(into, b.bytes.data() + b.at, n);
  b.at += n;
  return n;
}

// A store of three datagrams: sent by ssh to curl, received by a program of root's, and one
// whose programs are not known; the second cut to 40 of its 100 bytes.
struct ThreePackets {
  std::unique_ptr<CaptureState> state = std::make_unique<CaptureState>();
  ProgramTable table;
  ThreePackets() {
    auto udp = test::MakeDatagram({.protocol = 17, .src = "198.18.0.7", .sport = 1, .dport = 2, .payload = 3});
    auto tcp = test::MakeDatagram({.protocol = 6, .sport = 3, .dport = 4, .payload = 60});
    AppendPacket(state->store, 17, udp.data(), udp.size(), nullptr, nullptr, 1700000000123456789);
    AppendPacket(state->store, 6, tcp.data(), 40, nullptr, nullptr, 1700000001000000007);
    AppendPacket(state->store, 17, udp.data(), udp.size(), nullptr, nullptr, 5);
    uint32_t ssh = table.InternProgram("ssh", 42, "ann"), curl = table.InternProgram("curl", 7, "bob");
    SetPacketOwner(state->store, 0, table.InternOwner(ssh, curl));
    SetPacketOwner(state->store, 1, table.InternOwner(kNoProgram, table.InternProgram("", 0, "root")));
  }
};

TEST(PcapngFile, EachNamedEndIsAPacketCommentThatReadsBackAsTheOwner) {
  ThreePackets three;
  std::vector<uint8_t> file;
  ASSERT_TRUE(PcapngCaptureBytes(*three.state, file, nullptr, &three.table));
  std::string head = test::PcapngHeader(101);
  ASSERT_GT(file.size(), head.size());
  EXPECT_EQ(std::string(file.begin(), file.begin() + head.size()), head);
  EXPECT_EQ(file.size() % 4, 0u);

  Bytes bytes{file};
  PcapngReader reader(FromBytes, &bytes);
  ASSERT_EQ(reader.Next(), PcapngReader::Block::kOther);
  ASSERT_EQ(reader.Next(), PcapngReader::Block::kOther);
  ASSERT_EQ(reader.interfaces().size(), 1u);
  EXPECT_EQ(reader.interfaces()[0].snapLength, 262144u);
  EXPECT_EQ(reader.interfaces()[0].unitsPerSecond, 1000000000u);
  struct Expected {
    std::vector<std::string_view> comments;
    int64_t time;
    size_t size;
    uint32_t wire;
    uint32_t flags;
    const char* owner;
  } expected[] = {
      {{"program: ssh (pid 42, user ann)", "program: curl (pid 7, user bob)"}, 1700000000123456789, 31, 31, 0,
       "ssh 42 \u2192 curl 7"},
      {{"program: user root"}, 1700000001000000007, 40, 100, kInboundFlag, "user root"},
      {{}, 5, 31, 31, 0, "?"},
  };
  ProgramTable readBack;
  for (const Expected& e : expected) {
    ASSERT_EQ(reader.Next(), PcapngReader::Block::kPacket);
    EXPECT_EQ(reader.comments(), e.comments);
    EXPECT_EQ(reader.packet().receiveTime, e.time);
    EXPECT_EQ(reader.packet().size, e.size);
    EXPECT_EQ(reader.packet().wireLength, e.wire);
    EXPECT_EQ(reader.packet().flags, e.flags);
    uint32_t owner = OwnerOfComments(readBack, reader.comments(), reader.packet().flags);
    EXPECT_EQ(readBack.OwnerText(owner), e.owner);
  }
  EXPECT_EQ(reader.Next(), PcapngReader::Block::kEnd);
}

TEST(PcapngFile, NamesAreWrittenBeforeThePacketsAndReadBack) {
  auto state = std::make_unique<CaptureState>();
  std::vector<AddressName> names(4);
  names[0] = {4, {198, 18, 0, 7}, "a.test"};
  names[1] = {6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}, "b.test"};
  names[2] = {4, {198, 18, 0, 8}, ""};
  names[3] = {4, {198, 18, 0, 9}, std::string("c.test\0d", 8)};
  std::vector<uint8_t> file;
  ASSERT_TRUE(PcapngCaptureBytes(*state, file, nullptr, nullptr, names));
  Bytes bytes{file};
  PcapngReader reader(FromBytes, &bytes);
  ASSERT_EQ(reader.Next(), PcapngReader::Block::kOther);
  ASSERT_EQ(reader.Next(), PcapngReader::Block::kOther);
  ASSERT_EQ(reader.Next(), PcapngReader::Block::kNames);
  std::vector<std::string> seen;
  for (const PcapngName& n : reader.names()) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(n.family == 4 ? AF_INET : AF_INET6, n.address, text, sizeof text);
    seen.push_back(std::string(text) + " " + std::string(n.name));
  }
  EXPECT_EQ(seen, std::vector<std::string>({"198.18.0.7 a.test", "2001:db8::5 b.test", "198.18.0.9 c.test"}));
  EXPECT_EQ(reader.Next(), PcapngReader::Block::kEnd);
}

// tshark reads the comments as the frames' and takes the names for the addresses.
TEST(PcapngFile, TsharkShowsTheCommentsAndTheNames) {
  if (test::RunCommand("command -v tshark").status != 0) GTEST_SKIP() << "no tshark";
  ThreePackets three;
  AddressName name{4, {198, 18, 0, 7}, "seven.test"};
  std::vector<uint8_t> file;
  ASSERT_TRUE(PcapngCaptureBytes(*three.state, file, nullptr, &three.table, {&name, 1}));
  test::TempFolder folder;
  std::string path = folder.Write("two.pcapng", std::string(file.begin(), file.end()));
  test::CommandResult comments =
      test::RunCommand("tshark -r '" + path + "' -T fields -E occurrence=a -E aggregator='|' -e frame.comment 2>/dev/null");
  EXPECT_EQ(comments.out,
            "program: ssh (pid 42, user ann)|program: curl (pid 7, user bob)\nprogram: user root\n\n");
  test::CommandResult hosts = test::RunCommand("tshark -r '" + path +
                                               "' -N n -o nameres.use_external_name_resolver:FALSE -T fields"
                                               " -e ip.src_host 2>/dev/null");
  EXPECT_EQ(hosts.out, "seven.test\n10.0.0.1\nseven.test\n");
}

// The owner entry each datagram came with, as trovix-cli's output hears it.
class OwnerSink : public DatagramSink {
 public:
  bool Take(const uint8_t*, size_t, const DatagramFields&, int64_t) noexcept override {
    texts.push_back(TheProgramTable().OwnerText(owner_));
    return true;
  }
  void BatchDone() noexcept override {}
  void SetOwner(uint32_t owner) noexcept override { owner_ = owner; }
  std::vector<std::string> texts;

 private:
  uint32_t owner_ = kOwnerPending;
};

TEST(PcapngFile, AStreamHandsOnEachRecordsProgramsAndKeepsTheNames) {
  ThreePackets three;
  AddressName names[2] = {{4, {198, 18, 0, 7}, "seven.test"}, {6, {0xfe, 0x80, 15, 1}, "six.test"}};
  std::vector<uint8_t> file;
  ASSERT_TRUE(PcapngCaptureBytes(*three.state, file, nullptr, &three.table, names));
  test::TempFolder folder;
  std::string path = folder.Write("read.pcapng", std::string(file.begin(), file.end()));
  auto state = std::make_unique<CaptureState>();
  PrepareCapture(*state, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  OwnerSink sink;
  FileReading reading;
  StreamSource::Read(*state, Descriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC)), reading, sink, nullptr);
  EXPECT_EQ(reading.end, FileEnd::kEndOfFile) << reading.problem;
  EXPECT_EQ(sink.texts, std::vector<std::string>({"ssh 42 \u2192 curl 7", "user root", "?"}));
  ASSERT_EQ(reading.names.size(), 2u);
  EXPECT_EQ(reading.names[0].family, 4);
  EXPECT_EQ(std::vector<uint8_t>(reading.names[0].address, reading.names[0].address + 4),
            std::vector<uint8_t>({198, 18, 0, 7}));
  EXPECT_EQ(reading.names[0].name, "seven.test");
  EXPECT_EQ(reading.names[1].family, 6);
  EXPECT_EQ(reading.names[1].address[3], 1);
  EXPECT_EQ(reading.names[1].name, "six.test");
}

TEST(ProgramComment, OnlyWellFormedTextsNameAProgram) {
  struct Case {
    const char* text;
    bool named;
    const char* name = "";
    pid_t pid = 0;
    const char* user = "";
  } cases[] = {
      {"program: ssh (pid 42, user ann)", true, "ssh", 42, "ann"},
      {"program: a (pid 1) (pid 9, user u)", true, "a (pid 1)", 9, "u"},
      {"program: user root", true, "", 0, "root"},
      {"program: ssh (pid 0, user ann)", false},
      {"program: ssh (pid 4x, user ann)", false},
      {"program: ssh (pid 99999999999, user ann)", false},
      {"program: ssh (pid 42, user ann", false},
      {"program: ssh (pid 42)", false},
      {"program: Web Content (pid 9, user ann)", true, "Web Content", 9, "ann"},
      {"program: (pid 42, user ann)", false},
      {"program: s\th (pid 42, user ann)", false},
      {"program: ssh (pid 42, user a\nn)", false},
      {"program: user ", false},
      {"Program: user root", false},
      {"from DNS", false},
  };
  for (const Case& c : cases) {
    CommentedProgram p;
    ASSERT_EQ(ParseProgramComment(c.text, p), c.named) << c.text;
    if (!c.named) continue;
    EXPECT_EQ(p.name, c.name) << c.text;
    EXPECT_EQ(p.pid, c.pid) << c.text;
    EXPECT_EQ(p.user, c.user) << c.text;
  }
}

TEST(CaptureFile, OnlyNamesEndingInPcapngAskForIt) {
  EXPECT_TRUE(IsPcapngName("/tmp/a.pcapng"));
  EXPECT_TRUE(IsPcapngName("B.PCAPNG"));
  EXPECT_FALSE(IsPcapngName("a.pcap"));
  EXPECT_FALSE(IsPcapngName("pcapng"));
}

}  // namespace
}  // namespace trovix
