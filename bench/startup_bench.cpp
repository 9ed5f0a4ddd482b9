// A settled start of the window: from exec to its top-level window mapped on an X server of
// the benchmark's own (Xvfb, no window manager), beside an empty Qt 6 QDialog built here
// (startup_dialog) and, where it is installed, Wireshark's main window (scripts/
// install-bench-deps). Each program starts once unmeasured, so the libraries and fonts are
// in the page cache, then RUNS times in turn with the others, each start with empty
// folders of its own (home, configuration, cache, runtime); Trovix's settings file only
// keeps its window out of the notification area. Prints each program's median.
//
//   startup_bench [--runs N] [--trovix PATH] [--no-wireshark]
#include <xcb/xcb.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Program {
  std::string label;
  std::vector<std::string> argv;
  std::string title;     // a mapped window whose name holds this is the one waited for
  std::string settings;  // written as ~/.config/Trovix/trovix.ini when not empty
  std::vector<double> ms;
  std::vector<double> cpuMs;
};

// Xvfb on a display number it picks itself (-displayfd); ended with the benchmark.
class XServer {
 public:
  ~XServer() {
    if (connection_ != nullptr) xcb_disconnect(connection_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Start() {
    int number[2];
    if (pipe(number) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      int null = open("/dev/null", O_WRONLY);
      dup2(null, 1);
      dup2(null, 2);
      std::string fd = std::to_string(number[1]);
      execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten", "tcp",
             static_cast<char*>(nullptr));
      _exit(127);
    }
    close(number[1]);
    char text[16] = {};
    ssize_t n = read(number[0], text, sizeof text - 1);
    close(number[0]);
    if (n <= 0) return false;
    display_ = ":" + std::string(text, strcspn(text, "\n"));
    connection_ = xcb_connect(display_.c_str(), nullptr);
    if (xcb_connection_has_error(connection_) != 0) return false;
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection_, screen->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection_);
    return true;
  }
  const std::string& display() const { return display_; }

  // Waits until a window whose name holds `title` is mapped; false after `limit`.
  bool AwaitMapped(const std::string& title, Clock::time_point limit) {
    pollfd p{xcb_get_file_descriptor(connection_), POLLIN, 0};
    for (;;) {
      while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) {
        bool mapped = (event->response_type & 0x7f) == XCB_MAP_NOTIFY;
        xcb_window_t window = reinterpret_cast<xcb_map_notify_event_t*>(event)->window;
        std::free(event);
        if (mapped && Named(window, title)) return true;
      }
      int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count());
      if (left <= 0 || xcb_connection_has_error(connection_) != 0) return false;
      poll(&p, 1, left);
    }
  }

 private:
  bool Named(xcb_window_t window, const std::string& title) {
    for (const char* property : {"_NET_WM_NAME", "WM_NAME"}) {
      xcb_intern_atom_reply_t* atom =
          xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, strlen(property), property), nullptr);
      if (atom == nullptr) continue;
      xcb_get_property_reply_t* reply = xcb_get_property_reply(
          connection_, xcb_get_property(connection_, 0, window, atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 256), nullptr);
      std::free(atom);
      if (reply == nullptr) continue;
      std::string name(static_cast<const char*>(xcb_get_property_value(reply)),
                       static_cast<size_t>(xcb_get_property_value_length(reply)));
      std::free(reply);
      if (name.find(title) != std::string::npos) return true;
    }
    return false;
  }

  pid_t pid_ = -1;
  std::string display_;
  xcb_connection_t* connection_ = nullptr;
};

// The environment of one start: the benchmark's own, with folders of the start's own.
std::vector<std::string> StartEnvironment(const std::string& folder, const std::string& display) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    if (name.rfind("XDG_", 0) != 0 && name.rfind("QT_", 0) != 0 && name != "HOME" && name != "DISPLAY" &&
        name != "WAYLAND_DISPLAY" && name != "XAUTHORITY" && name != "TMPDIR") {
      env.push_back(entry);
    }
  }
  for (const char* part : {"home", "config", "cache", "runtime", "tmp"}) {
    fs::create_directories(folder + "/" + part);
    fs::permissions(folder + "/" + part, fs::perms::owner_all);
  }
  env.insert(env.end(), {"HOME=" + folder + "/home", "XDG_CONFIG_HOME=" + folder + "/config",
                         "XDG_CACHE_HOME=" + folder + "/cache", "XDG_RUNTIME_DIR=" + folder + "/runtime",
                         "TMPDIR=" + folder + "/tmp", "DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
  return env;
}

// The time `pid`'s main thread has run on a processor so far: the start's critical path,
// less swayed by other work on the machine than the time on the clock.
double MainThreadCpuMs(pid_t pid) {
  double ns = 0;
  std::ifstream("/proc/" + std::to_string(pid) + "/schedstat") >> ns;
  return ns / 1e6;
}

// One start: milliseconds from just before exec to the window mapped, or -1, and its main
// thread's processor time until then.
double TimeOneStart(XServer& x, Program& program, const std::string& folder, double& cpuMs) {
  fs::remove_all(folder);
  std::vector<std::string> env = StartEnvironment(folder, x.display());
  if (!program.settings.empty()) {
    fs::create_directories(folder + "/config/Trovix");
    std::ofstream(folder + "/config/Trovix/trovix.ini", std::ios::binary) << program.settings;
  }
  std::vector<char*> argv, envp;
  for (std::string& a : program.argv) argv.push_back(a.data());
  for (std::string& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  // A group of its own: whatever it starts ends with it.
  posix_spawnattr_t group;
  posix_spawnattr_init(&group);
  posix_spawnattr_setflags(&group, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&group, 0);
  pid_t pid = -1;
  Clock::time_point start = Clock::now();
  int failed = posix_spawnp(&pid, argv[0], &files, &group, argv.data(), envp.data());
  posix_spawnattr_destroy(&group);
  posix_spawn_file_actions_destroy(&files);
  if (failed != 0) return -1;
  bool mapped = x.AwaitMapped(program.title, start + std::chrono::seconds(30));
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  cpuMs = MainThreadCpuMs(pid);
  kill(-pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  fs::remove_all(folder);
  return mapped ? ms : -1;
}

bool OnPath(const char* name) {
  for (std::string_view rest = getenv("PATH") != nullptr ? getenv("PATH") : ""; !rest.empty();) {
    std::string_view dir = rest.substr(0, rest.find(':'));
    rest.remove_prefix(std::min(rest.size(), dir.size() + 1));
    if (access((std::string(dir) + "/" + name).c_str(), X_OK) == 0) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 9;
  std::string trovix = TROVIX_BINARY;
  bool wireshark = true;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else if (arg == "--trovix" && i + 1 < argc) trovix = argv[++i];
    else if (arg == "--no-wireshark") wireshark = false;
    else {
      std::fprintf(stderr, "usage: startup_bench [--runs N] [--trovix PATH] [--no-wireshark]\n");
      return 2;
    }
  }
  std::vector<Program> programs = {
      {"trovix", {trovix}, "Trovix", "[Config]\r\nEnableFlipToTray=No\r\n", {}, {}},
      {"empty Qt dialog", {STARTUP_DIALOG}, "empty dialog", "", {}, {}},
  };
  if (wireshark && OnPath("wireshark")) {
    programs.push_back({"wireshark", {"wireshark"}, "Wireshark Network Analyzer", "", {}, {}});
  } else if (wireshark) {
    std::fprintf(stderr, "startup_bench: no wireshark (scripts/install-bench-deps installs it); left out\n");
  }
  XServer x;
  if (!x.Start()) {
    std::fprintf(stderr, "startup_bench: Xvfb did not start\n");
    return 1;
  }
  std::string folder = fs::temp_directory_path() / ("trovix-startup-" + std::to_string(getpid()));
  for (int run = -1; run < runs; ++run) {  // run -1 settles the caches
    for (Program& p : programs) {
      double cpuMs = 0;
      double ms = TimeOneStart(x, p, folder, cpuMs);
      if (ms < 0) {
        std::fprintf(stderr, "startup_bench: %s showed no window within 30 s\n", p.label.c_str());
        return 1;
      }
      if (run >= 0) {
        p.ms.push_back(ms);
        p.cpuMs.push_back(cpuMs);
      }
    }
  }
  std::printf("exec to the window mapped on Xvfb %s, %d starts each: median (min .. max); main thread's processor time\n",
              x.display().c_str(), runs);
  for (Program& p : programs) {
    std::sort(p.ms.begin(), p.ms.end());
    std::sort(p.cpuMs.begin(), p.cpuMs.end());
    std::printf("  %-16s %6.1f ms (%.1f .. %.1f); %.1f ms\n", p.label.c_str(), p.ms[p.ms.size() / 2], p.ms.front(),
                p.ms.back(), p.cpuMs[p.cpuMs.size() / 2]);
  }
  std::printf("  trovix / empty Qt dialog: %.2f (processor time %.2f)\n", programs[0].ms[runs / 2] / programs[1].ms[runs / 2],
              programs[0].cpuMs[runs / 2] / programs[1].cpuMs[runs / 2]);
  return 0;
}
