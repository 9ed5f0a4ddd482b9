#include "capture/program_table.h"

#include <cstdio>
#include <cstring>

namespace trovix {

template <typename T>
uint32_t ProgramTable::Blocks<T>::Add(const T& value) {
  uint32_t index = count.load(std::memory_order_relaxed);
  if (index >= kBlocks * kBlockSize) return UINT32_MAX;
  std::atomic<T*>& home = block[index / kBlockSize];
  T* entries = home.load(std::memory_order_relaxed);
  if (entries == nullptr) {
    entries = new T[kBlockSize]();
    home.store(entries, std::memory_order_release);
  }
  entries[index % kBlockSize] = value;
  count.store(index + 1, std::memory_order_release);
  return index;
}

template <typename T>
const T* ProgramTable::Blocks<T>::At(uint32_t index) const noexcept {
  if (index >= count.load(std::memory_order_acquire)) return nullptr;
  return block[index / kBlockSize].load(std::memory_order_acquire) + index % kBlockSize;
}

ProgramTable::ProgramTable() {
  // Ids 0 and 1 of each are the fixed meanings above.
  programs_.Add(Program{});
  programs_.Add(Program{});
  owners_.Add(Owner{kNoProgram, kNoProgram});
  owners_.Add(Owner{kUnknownProgram, kUnknownProgram});
}

uint32_t ProgramTable::InternProgram(std::string_view name, pid_t pid, std::string_view user) {
  Program program{};
  std::snprintf(program.name, sizeof program.name, "%.*s", static_cast<int>(name.size()), name.data());
  std::snprintf(program.user, sizeof program.user, "%.*s", static_cast<int>(user.size()), user.data());
  program.pid = pid;
  std::string key = std::string(program.name) + '\0' + program.user + '\0' + std::to_string(pid);
  if (auto known = programIds_.find(key); known != programIds_.end()) return known->second;
  uint32_t id = programs_.Add(program);
  if (id == UINT32_MAX) return kUnknownProgram;
  programIds_.emplace(std::move(key), id);
  return id;
}

uint32_t ProgramTable::InternOwner(uint32_t source, uint32_t destination) {
  auto unnamed = [](uint32_t id) { return id == kNoProgram || id == kUnknownProgram; };
  if (unnamed(source) && unnamed(destination)) return kUnknownOwner;
  uint64_t key = uint64_t{source} << 32 | destination;
  if (auto known = ownerIds_.find(key); known != ownerIds_.end()) return known->second;
  uint32_t id = owners_.Add(Owner{source, destination});
  if (id == UINT32_MAX) return kUnknownOwner;
  ownerIds_.emplace(key, id);
  return id;
}

const Program* ProgramTable::ProgramOf(uint32_t id) const noexcept {
  return id == kNoProgram || id == kUnknownProgram ? nullptr : programs_.At(id);
}

Owner ProgramTable::OwnerOf(uint32_t ownerId) const noexcept {
  const Owner* owner = owners_.At(ownerId);
  return owner != nullptr ? *owner : Owner{kNoProgram, kNoProgram};
}

std::string ProgramTable::ProgramText(uint32_t id) const {
  if (id == kUnknownProgram) return "?";
  const Program* program = ProgramOf(id);
  if (program == nullptr) return {};
  if (program->pid == 0) return std::string("user ") + program->user;
  return std::string(program->name) + ' ' + std::to_string(program->pid);
}

std::string ProgramTable::OwnerText(uint32_t ownerId) const {
  if (ownerId == kOwnerPending || ownerId == kUnknownOwner) return "?";
  Owner owner = OwnerOf(ownerId);
  std::string source = ProgramText(owner.source), destination = ProgramText(owner.destination);
  if (source.empty() && destination.empty()) return "?";
  if (source.empty() || destination.empty()) return source + destination;
  return source + " \u2192 " + destination;
}

ProgramTable& TheProgramTable() {
  // Never destroyed, like the capture state: the window may paint while the process ends.
  static ProgramTable* const table = new ProgramTable;
  return *table;
}

}  // namespace trovix
