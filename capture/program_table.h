// The programs that datagrams are matched to, interned and named by 32-bit ids that never
// change while the process runs, and the owners (the sending and the receiving program of
// a datagram) that the store's owner column indexes. One thread adds (the sampler); any
// thread may read an id it was handed, while entries are added: entries live in blocks
// that never move.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace trovix {

// A program, or a user alone (pid 0) where the socket's process could not be read.
struct Program {
  char name[64];
  char user[32];
  pid_t pid;
};

// Program id 0 names no program: the end is not on this machine, or it is not known.
// An end that is on this machine but whose socket was not seen is kUnknownProgram.
inline constexpr uint32_t kNoProgram = 0;
inline constexpr uint32_t kUnknownProgram = 1;

struct Owner {
  uint32_t source;
  uint32_t destination;
};

// The store's owner entry: 0 while the packet waits for the sampler, kUnknownOwner once
// it is known that no program can be named, else an owner id from the table.
inline constexpr uint32_t kOwnerPending = 0;
inline constexpr uint32_t kUnknownOwner = 1;

class ProgramTable {
 public:
  static constexpr uint32_t kBlockSize = 4096;
  static constexpr uint32_t kBlocks = 256;

  ProgramTable();
  ProgramTable(const ProgramTable&) = delete;
  ProgramTable& operator=(const ProgramTable&) = delete;

  // The adding thread: the id of the program, made once; kUnknownProgram when the table is
  // full. A pid of 0 names the user alone.
  uint32_t InternProgram(std::string_view name, pid_t pid, std::string_view user);
  // The adding thread: the owner id of the pair; kUnknownOwner when both are unknown or
  // none, or when the table is full.
  uint32_t InternOwner(uint32_t source, uint32_t destination);

  // Any thread, for an id it was handed: nullptr for kNoProgram, kUnknownProgram or an id
  // not made yet.
  const Program* ProgramOf(uint32_t id) const noexcept;
  // Any thread: the owner of an owner id; both ends kNoProgram for an id not made yet.
  Owner OwnerOf(uint32_t ownerId) const noexcept;

  // "NAME PID", "user NAME", "?" for kUnknownProgram; empty for kNoProgram.
  std::string ProgramText(uint32_t id) const;
  // The list's column: "NAME PID", "NAME PID → NAME PID" (sender first), "user NAME", "?".
  std::string OwnerText(uint32_t ownerId) const;

 private:
  template <typename T>
  struct Blocks {
    std::atomic<T*> block[kBlocks] = {};
    std::atomic<uint32_t> count{0};
    ~Blocks() {
      for (auto& b : block) delete[] b.load(std::memory_order_relaxed);
    }
    // Index of a new entry, or UINT32_MAX when full.
    uint32_t Add(const T& value);
    const T* At(uint32_t index) const noexcept;
  };

  Blocks<Program> programs_;
  Blocks<Owner> owners_;
  // The adding thread's own indexes of what is already there.
  std::unordered_map<std::string, uint32_t> programIds_;
  std::unordered_map<uint64_t, uint32_t> ownerIds_;
};

// The process-wide table, never emptied: ids handed to the store stay valid.
ProgramTable& TheProgramTable();

}  // namespace trovix
