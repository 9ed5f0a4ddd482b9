// A download captured by the real window, beside tcpdump: inside a private network
// namespace, 20,000,000 bytes go over one TCP connection on loopback as fast as the
// kernel moves them, with the window capturing "tcp" on 127.0.0.1 and `tcpdump -i lo`
// beside it. The window's figure is the TCP payload of the server's datagrams it stored:
// the whole download is 20,000,000 bytes.
//
//   download_bench [--seed-store]   "keep more" on (default), or the seed's store
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_services.h"
#include "bench/tcpdump_peer.h"
#include "capture/packet_store.h"
#include "capture/platform/helper_process.h"
#include "resources/dialogs.h"
#include "tests/netns.h"

namespace {

constexpr uint16_t kServerPort = 8765;
constexpr size_t kDownloadBytes = 20000000;

// Sends the download to the first client, which reads it whole. Returns the seconds it took.
double Download() {
  int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{AF_INET, htons(kServerPort), {htonl(INADDR_LOOPBACK)}, {}};
  int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 || listen(listener, 1) != 0) return -1;
  auto start = std::chrono::steady_clock::now();
  std::thread server([&] {
    int c = accept(listener, nullptr, nullptr);
    std::vector<char> chunk(1 << 16, 'x');
    for (size_t sent = 0; sent < kDownloadBytes;) {
      ssize_t n = send(c, chunk.data(), std::min(chunk.size(), kDownloadBytes - sent), 0);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    close(c);
  });
  int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at);
  std::vector<char> buffer(1 << 20);
  while (recv(client, buffer.data(), buffer.size(), 0) > 0) {
  }
  server.join();
  close(client);
  close(listener);
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The TCP payload of the stored datagrams the server sent.
uint64_t ServerPayload(const trovix::CaptureState& state) {
  uint64_t bytes = 0;
  for (int32_t k = 0; k < static_cast<int32_t>(trovix::PublishedPacketCount(state.store)); ++k) {
    trovix::StoredPacket p;
    if (!trovix::LocatePacket(state.store, k, p) || p.protocol != 6 || p.length < 40) continue;
    size_t ip = (p.bytes[0] & 0x0F) * 4u;
    if (p.length < static_cast<int32_t>(ip + 20) || (p.bytes[ip] << 8 | p.bytes[ip + 1]) != kServerPort) continue;
    size_t tcp = (p.bytes[ip + 12] >> 4) * 4u;
    size_t total = p.bytes[2] << 8 | p.bytes[3];
    if (total == 0) total = static_cast<size_t>(p.length);  // a datagram past 64 KiB says 0
    if (total > ip + tcp) bytes += total - ip - tcp;
  }
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  trovix::UseCaptureHelper(TROVIX_CAPTURE_HELPER);
  bool seedStore = argc > 1 && std::string(argv[1]) == "--seed-store";
  std::string problem = trovix::test::EnterPrivateNetwork();
  if (!problem.empty()) {
    std::fprintf(stderr, "download_bench: %s\n", problem.c_str());
    return 1;
  }
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  trovix::CaptureState& state = trovix::TheCaptureState();
  trovix::MainDialog dialog(state, trovix::bench::WindowServices());
  dialog.options().KeepMore = seedStore ? 0 : 1;
  dialog.show();
  using namespace trovix::resources;
  static_cast<QComboBox*>(dialog.Control(kIdBind))->setEditText("127.0.0.1");
  static_cast<QPushButton*>(dialog.Control(kIdTcp))->setChecked(true);
  trovix::bench::TcpdumpPeer dump;
  if (!dump.Start("tcpdump", "tcp port " + std::to_string(kServerPort))) {
    std::fprintf(stderr, "download_bench: tcpdump did not start\n");
    return 1;
  }
  static_cast<QPushButton*>(dialog.Control(kIdGo))->click();
  (void)QTest::qWaitFor([&] { return state.run.capturing.load(); }, 3000);
  double seconds = -1;
  std::thread download([&] { seconds = Download(); });
  while (seconds < 0) QTest::qWait(20);
  download.join();
  QTest::qWait(1500);  // both hand over a partly filled block within it
  auto* stop = static_cast<QPushButton*>(dialog.Control(kIdStop));
  if (stop->isEnabled()) stop->click();
  trovix::bench::TcpdumpResult theirs = dump.Stop(0);
  std::printf("%zu bytes downloaded in %.3f s, %s\n", kDownloadBytes, seconds,
              seedStore ? "the seed's store" : "\"keep more\"");
  std::printf("  window   rows %d, stored %u datagrams, %llu bytes; the download's payload in them: %llu bytes\n",
              dialog.packetList().rowCount(), trovix::PublishedPacketCount(state.store),
              static_cast<unsigned long long>(state.store.storedBytes.load()),
              static_cast<unsigned long long>(ServerPayload(state)));
  std::printf("  tcpdump  %s\n", theirs.summary.c_str());
  return 0;
}
