// Writing a file so that a failure part-way never leaves it half-written: the bytes go to
// a temporary file in the same folder, which is moved over the name only once they are
// all on disk. Until then the file of that name stays exactly as it was.
#pragma once

#include <cstddef>
#include <string>

namespace trovix {

enum class ReplaceResult {
  kReplaced,
  kCannotCreate,  // an existing file that may not be written, or no temporary file in its folder
  kCannotWrite,   // a write, flush or the final move failed; nothing was changed
};

class FileReplacement {
 public:
  explicit FileReplacement(std::string path);
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Refuses, as creating the file anew would, a file that exists and may not be opened
  // for writing, and a link that another user planted in a shared folder; otherwise makes
  // the temporary file beside it.
  bool Create();
  bool Write(const void* data, size_t size);
  // Flushes the temporary file to disk and moves it over the name.
  bool Commit();

 private:
  void Discard();

  std::string path_;
  std::string temporary_;
  int fd_ = -1;
  bool failed_ = false;
};

// Where writing `name` lands. Its symbolic links are followed one at a time as the kernel
// follows them for this user, but never a link in a sticky world-writable folder (a shared
// /tmp) that belongs to neither this user nor the folder's owner, which another user may
// have planted: fs.protected_symlinks' rule, whatever this system's setting.
struct WriteTarget {
  std::string path;      // no link when it was looked at, or missing; empty when refused
  int refused = 0;       // EACCES for a link another user may have planted, ELOOP, or why a link could not be read
  bool dangling = false; // `path` is missing, and a link names it
  bool unnamed = false;  // `path` is a link of /proc to what has no name (a pipe or socket, as
                         // /dev/stdout may be), which only the kernel can follow
};
WriteTarget FollowLinksToWrite(const std::string& name);

// The whole of `data` as the new content of `path`.
ReplaceResult ReplaceFile(const std::string& path, const void* data, size_t size);

}  // namespace trovix
