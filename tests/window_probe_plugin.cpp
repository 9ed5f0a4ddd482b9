// A Qt generic plugin that the package test loads into the installed window
// (QT_QPA_GENERIC_PLUGINS=trovixprobe): once the main window is up it presses "go!",
// sends UDP datagrams on loopback until the packet list shows a row, then writes what the
// window's process may do to $TROVIX_PROBE_REPORT and quits. It runs as the window does,
// so it sees exactly the window's capabilities and descriptors. With $TROVIX_PROBE_ROWS
// instead, it only writes the packet list's rows to that file, one a line, as they change.
#include <arpa/inet.h>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QGenericPlugin>
#include <QListView>
#include <QPushButton>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace {

constexpr int kTickMs = 50;
constexpr int kPatienceTicks = 100;  // 5 s for the window, and again for a row

std::string Outcome(int result) {
  if (result >= 0) return "succeeded";
  return errno == EPERM ? "EPERM" : "errno " + std::to_string(errno);
}

std::string SocketOutcome(int domain, int type, int protocol) {
  int fd = socket(domain, type, protocol);
  std::string outcome = Outcome(fd);
  if (fd >= 0) close(fd);
  return outcome;
}

// Every capability set of every thread that is not empty.
std::string HeldCapabilities() {
  std::string held;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream status(task.path() / "status");
    for (std::string line; std::getline(status, line);) {
      std::istringstream fields(line);
      std::string key, value;
      fields >> key >> value;
      if (key.rfind("Cap", 0) == 0 && key != "CapBnd:" && value != "0000000000000000") {
        held += " " + task.path().filename().string() + " " + key + value;
      }
    }
  }
  return held.empty() ? " none" : held;
}

// Packet sockets among this process's descriptors, and in its network namespace.
std::string PacketSockets() {
  std::set<std::string> inodes;
  std::ifstream table("/proc/net/packet");
  std::string line;
  std::getline(table, line);  // the column names
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i < 9; ++i) fields >> field;  // the ninth column is Inode
    inodes.insert(field);
  }
  int mine = 0;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    std::string target = std::filesystem::read_symlink(fd.path(), error).string();
    if (target.rfind("socket:[", 0) == 0 && inodes.count(target.substr(8, target.size() - 9)) != 0) ++mine;
  }
  return "the window's " + std::to_string(mine) + ", the namespace's " + std::to_string(inodes.size());
}

class Probe : public QObject {
 public:
  explicit Probe(const char* report) : report_(report) {
    connect(&timer_, &QTimer::timeout, this, &Probe::Tick);
    timer_.start(kTickMs);
  }

 private:
  void Tick() {
    ++ticks_;
    if (go_ == nullptr) {
      for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible()) continue;
        for (QPushButton* button : window->findChildren<QPushButton*>()) {
          if (button->text() == QLatin1String("go!")) go_ = button;
        }
        if (go_ == nullptr) continue;
        // Each combo box has a list view too, hidden until it drops down.
        for (QListView* view : window->findChildren<QListView*>()) {
          if (view->isVisible()) list_ = view;
        }
        break;
      }
      if (go_ != nullptr) {
        go_->animateClick();
        ticks_ = 0;
      } else if (ticks_ > kPatienceTicks) {
        Finish("row: no window with \"go!\"");
      }
      return;
    }
    SendDatagram();
    // Before "go!" the list holds the system's line; "go!" empties it.
    QAbstractItemModel* rows = list_ != nullptr ? list_->model() : nullptr;
    for (int row = 0; rows != nullptr && row < rows->rowCount(); ++row) {
      QString text = rows->data(rows->index(row, 0)).toString();
      if (text.contains(QLatin1String("40551")) || text.contains(QLatin1String("rights required"))) {
        return Finish("row: " + text.toStdString());
      }
    }
    if (ticks_ > kPatienceTicks) Finish("row: none");
  }

  void SendDatagram() {
    if (udp_ < 0) {
      udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in from{AF_INET, htons(40551), {htonl(INADDR_LOOPBACK)}, {}};
      bind(udp_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    sockaddr_in to{AF_INET, htons(40552), {htonl(INADDR_LOOPBACK)}, {}};
    sendto(udp_, "trovix", 6, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

  void Finish(const std::string& row) {
    timer_.stop();
    if (udp_ >= 0) close(udp_);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct sets[_LINUX_CAPABILITY_U32S_3] = {};
    sets[CAP_TO_INDEX(CAP_NET_RAW)].permitted = sets[CAP_TO_INDEX(CAP_NET_RAW)].effective = CAP_TO_MASK(CAP_NET_RAW);
    std::ofstream report(report_);
    report << row << "\ncapabilities:" << HeldCapabilities()
           << "\npacket SOCK_RAW: " << SocketOutcome(AF_PACKET, SOCK_RAW, 0)
           << "\npacket SOCK_DGRAM: " << SocketOutcome(AF_PACKET, SOCK_DGRAM, 0)
           << "\ninet SOCK_RAW: " << SocketOutcome(AF_INET, SOCK_RAW, IPPROTO_RAW)
           << "\ncapset CAP_NET_RAW: " << Outcome(static_cast<int>(syscall(SYS_capset, &header, sets)))
           << "\npacket sockets: " << PacketSockets() << "\n";
    QCoreApplication::quit();
  }

  std::string report_;
  QTimer timer_;
  int ticks_ = 0;
  QPushButton* go_ = nullptr;
  QListView* list_ = nullptr;
  int udp_ = -1;
};

// Rewrites the file whole (a new file renamed over it) whenever the rows change.
class RowsProbe : public QObject {
 public:
  explicit RowsProbe(const char* path) : path_(path) {
    connect(&timer_, &QTimer::timeout, this, &RowsProbe::Tick);
    timer_.start(kTickMs);
  }

 private:
  void Tick() {
    std::string rows;
    for (QWidget* window : QApplication::topLevelWidgets()) {
      for (QListView* view : window->findChildren<QListView*>()) {
        QAbstractItemModel* model = view->model();
        if (!view->isVisible() || model == nullptr) continue;
        for (int row = 0; row < model->rowCount(); ++row) rows += model->data(model->index(row, 0)).toString().toStdString() + "\n";
      }
    }
    if (rows == written_) return;
    std::ofstream(path_ + ".new") << rows;
    std::filesystem::rename(path_ + ".new", path_);
    written_ = rows;
  }

  std::string path_;
  std::string written_;
  QTimer timer_;
};

}  // namespace

class ProbePlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "window_probe_plugin.json")

 public:
  QObject* create(const QString&, const QString&) override {
    if (const char* rows = std::getenv("TROVIX_PROBE_ROWS")) return new RowsProbe(rows);
    const char* report = std::getenv("TROVIX_PROBE_REPORT");
    return report != nullptr ? new Probe(report) : nullptr;
  }
};

#include "window_probe_plugin.moc"
