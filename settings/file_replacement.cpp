#include "settings/file_replacement.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace trovix {
namespace {

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A folder of /proc, whose links to pipes and sockets name no file.
bool ProcFolder(const std::string& folder) {
  struct statfs fs {};
  return statfs(folder.c_str(), &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

WriteTarget Refused(int error) {
  WriteTarget target;
  target.refused = error;
  return target;
}

// A name that is a symbolic link is replaced where the link points; a link to nothing (or
// to a pipe) is itself replaced, as before. Empty for a link that may not be followed.
std::string Resolved(const std::string& name) {
  WriteTarget target = FollowLinksToWrite(name);
  return target.dangling || target.unnamed ? name : target.path;
}

void SyncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // the move itself is durable only once the folder is
  close(fd);
}

mode_t NewFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

WriteTarget FollowLinksToWrite(const std::string& name) {
  WriteTarget target;
  target.path = name;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat link {};
    if (lstat(target.path.c_str(), &link) != 0) {
      target.dangling = errno == ENOENT && hops > 0;
      return target;  // opening it says what is wrong, or makes it
    }
    if (!S_ISLNK(link.st_mode)) return target;
    std::string folder = FolderOf(target.path);
    struct stat dir {};
    if (stat(folder.c_str(), &dir) != 0) return Refused(errno);
    bool shared = (dir.st_mode & S_ISVTX) != 0 && (dir.st_mode & S_IWOTH) != 0;
    if (shared && link.st_uid != geteuid() && link.st_uid != dir.st_uid) return Refused(EACCES);
    char text[PATH_MAX];
    ssize_t n = readlink(target.path.c_str(), text, sizeof text - 1);
    if (n <= 0) return Refused(n < 0 ? errno : ENOENT);
    text[n] = '\0';
    if (text[0] != '/' && ProcFolder(folder)) {
      target.unnamed = true;
      return target;
    }
    target.path = text[0] == '/' ? std::string(text) : folder + "/" + text;
  }
  return Refused(ELOOP);
}

FileReplacement::FileReplacement(std::string path) : path_(Resolved(path)) {}

FileReplacement::~FileReplacement() { Discard(); }

bool FileReplacement::Create() {
  if (path_.empty()) return false;  // a link that may not be followed
  mode_t mode = NewFileMode();
  int existing = open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);  // a FIFO must not block
  if (existing >= 0) {
    struct stat st {};
    if (fstat(existing, &st) == 0) mode = st.st_mode & 07777;
    close(existing);
  } else if (errno != ENOENT) {
    return false;
  }
  std::string pattern = FolderOf(path_) + "/.trovix-save-XXXXXX";
  fd_ = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd_ < 0) return false;
  temporary_ = pattern;
  fchmod(fd_, mode);
  return true;
}

bool FileReplacement::Write(const void* data, size_t size) {
  if (fd_ < 0 || failed_) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool FileReplacement::Commit() {
  if (fd_ < 0 || failed_) return false;
  // A full disk may show only at the flush or the close.
  bool ok = fsync(fd_) == 0;
  ok = close(fd_) == 0 && ok;
  fd_ = -1;
  if (!ok || rename(temporary_.c_str(), path_.c_str()) != 0) {
    failed_ = true;
    Discard();
    return false;
  }
  temporary_.clear();
  SyncFolder(FolderOf(path_));
  return true;
}

void FileReplacement::Discard() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  if (!temporary_.empty()) unlink(temporary_.c_str());
  temporary_.clear();
}

ReplaceResult ReplaceFile(const std::string& path, const void* data, size_t size) {
  FileReplacement file(path);
  if (!file.Create()) return ReplaceResult::kCannotCreate;
  if (!file.Write(data, size) || !file.Commit()) return ReplaceResult::kCannotWrite;
  return ReplaceResult::kReplaced;
}

}  // namespace trovix
