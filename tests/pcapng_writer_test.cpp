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

  test::ByteSource bytes{std::string(file.begin(), file.end())};
  PcapngReader reader(test::ByteSource::Read, &bytes);
  ASSERT_EQ(reader.Next(), PcapngReader::Block::kOther);
  ASSERT_EQ(reader.Next(), PcapngReader::Block::kOther);
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

// The names go before the packets: a stream read keeps them (an empty name left out, one
// cut at its NUL), and tshark takes them for the addresses and shows the comments.
TEST(PcapngFile, NamesAreKeptByAStreamAndTsharkShowsThemAndTheComments) {
  ThreePackets three;
  std::vector<AddressName> names(4);
  names[0] = {4, {198, 18, 0, 7}, "seven.test"};
  names[1] = {6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5}, "b.test"};
  names[2] = {4, {198, 18, 0, 8}, ""};
  names[3] = {4, {198, 18, 0, 9}, std::string("c.test\0d", 8)};
  std::vector<uint8_t> file;
  ASSERT_TRUE(PcapngCaptureBytes(*three.state, file, nullptr, &three.table, names));
  test::TempFolder folder;
  std::string path = folder.Write("names.pcapng", std::string(file.begin(), file.end()));
  auto state = std::make_unique<CaptureState>();
  PrepareCapture(*state, {"127.0.0.1", "*:*", "*:*", false, true, true, true, true, true});
  struct : DatagramSink {
    bool Take(const uint8_t*, size_t, const DatagramFields&, int64_t) noexcept override { return true; }
    void BatchDone() noexcept override {}
  } sink;
  FileReading reading;
  StreamSource::Read(*state, Descriptor(open(path.c_str(), O_RDONLY | O_CLOEXEC)), reading, sink, nullptr);
  EXPECT_EQ(reading.records.load(), 3u) << reading.problem;
  std::vector<std::string> seen;
  for (const AddressName& n : reading.names) {
    char text[INET6_ADDRSTRLEN];
    inet_ntop(n.family == 4 ? AF_INET : AF_INET6, n.address, text, sizeof text);
    seen.push_back(std::string(text) + " " + n.name);
  }
  EXPECT_EQ(seen, std::vector<std::string>({"198.18.0.7 seven.test", "2001:db8::5 b.test", "198.18.0.9 c.test"}));

  if (test::RunCommand("command -v tshark").status != 0) GTEST_SKIP() << "no tshark";
  test::CommandResult comments =
      test::RunCommand("tshark -r '" + path + "' -T fields -E occurrence=a -E aggregator='|' -e frame.comment 2>/dev/null");
  EXPECT_EQ(comments.out,
            "program: ssh (pid 42, user ann)|program: curl (pid 7, user bob)\nprogram: user root\n\n");
  test::CommandResult hosts = test::RunCommand("tshark -r '" + path +
                                               "' -N n -o nameres.use_external_name_resolver:FALSE -T fields"
                                               " -e ip.src_host 2>/dev/null");
  EXPECT_EQ(hosts.out, "seven.test\n10.0.0.1\nseven.test\n");
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
      {"program: Web Content (pid 9, user ann)", true, "Web Content", 9, "ann"},
      {"program: (pid 42, user ann)", false},
      {"program: s\th (pid 42, user ann)", false},
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

}  // namespace
}  // namespace trovix
