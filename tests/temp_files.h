// A scratch folder for tests that hand the platform layer their own system files.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace trovix::test {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "trovix-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // Writes `text` to the file `name` in the folder and returns its path.
  std::string Write(const std::string& name, const std::string& text) const {
    std::string file = Path(name);
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }
  std::string Path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

}  // namespace trovix::test
