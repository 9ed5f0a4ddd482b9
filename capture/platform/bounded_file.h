// Reads a small system text file whole, up to a size bound: files such as the resolver
// configuration are read at start-up and must not stall it or fill memory.
#pragma once

#include <cstddef>
#include <string>

namespace trovix {

inline constexpr size_t kSystemFileMax = 64 * 1024;

struct BoundedFile {
  int error = 0;  // errno of the failing call, 0 when read
  std::string text;  // at most the bound; the rest of a longer file is ignored
};

BoundedFile ReadBoundedFile(const std::string& path, size_t maxBytes = kSystemFileMax);

}  // namespace trovix
