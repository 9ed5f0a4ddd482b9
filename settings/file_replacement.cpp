#include "settings/file_replacement.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace trovix {
namespace {

// A name that is a symbolic link is replaced where the link points.
std::string Resolved(const std::string& path) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) != nullptr) return buffer;
  return path;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
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

FileReplacement::FileReplacement(std::string path) : path_(Resolved(path)) {}

FileReplacement::~FileReplacement() { Discard(); }

bool FileReplacement::Create() {
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
