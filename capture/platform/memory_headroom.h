// How much more memory this process can be given before the system, or a memory cgroup
// that holds it, runs short. Memory is overcommitted: a larger store's commit always
// succeeds, and the first touch of a page that no memory backs calls the OOM killer; the
// store asks here before each step instead.
#pragma once

#include <cstdint>
#include <string_view>

namespace trovix {

// Nothing limits the process that this code can read.
inline constexpr uint64_t kMemoryUnlimited = UINT64_MAX;

// The least of: MemAvailable in /proc/meminfo; and, for the process's memory cgroup in
// each hierarchy (cgroup v2, and v1's memory controller), at its own level and each one
// above it, the room CgroupRoom gives. Reads its files into fixed buffers, allocating
// nothing: it is asked while memory may be short already.
uint64_t AvailableMemory() noexcept;

// MemAvailable of a /proc/meminfo text, in bytes; kMemoryUnlimited when it has none.
uint64_t MeminfoAvailable(std::string_view meminfo) noexcept;

// One cgroup level's room: its limit (v2 memory.max, "max" for none; v1
// memory.limit_in_bytes) less its use (memory.current; memory.usage_in_bytes) that could
// not be given back. Page cache can be, except what processes have mapped; `stat` is its
// memory.stat (v1 names the hierarchy's totals total_*). kMemoryUnlimited for no limit.
uint64_t CgroupRoom(std::string_view limit, std::string_view usage, std::string_view stat, bool v1) noexcept;

// The folder of the process's cgroup in one hierarchy: the v1 hierarchy with the memory
// controller (`v1`), or the v2 one, from the texts of /proc/self/cgroup and
// /proc/self/mountinfo. Written to `out` (with its mount point's length in `mountLength`)
// and true; false when the hierarchy is not mounted or the folder does not fit.
bool MemoryCgroupFolder(std::string_view cgroups, std::string_view mounts, bool v1, char* out, size_t size,
                        size_t& mountLength) noexcept;

}  // namespace trovix
