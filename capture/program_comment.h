// A datagram's programs as the packet comments of a pcapng file: one text per end that
// names a program, "program: NAME (pid PID, user USER)" or "program: user USER", which
// other tools show as they are and a file opened here turns back into an owner.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "capture/program_table.h"

namespace trovix {

// The comment of program `id`; empty for kNoProgram, kUnknownProgram or an id not made.
std::string ProgramComment(const ProgramTable& table, uint32_t id);

struct CommentedProgram {
  std::string_view name;  // empty for a user alone
  pid_t pid = 0;          // 0 for a user alone
  std::string_view user;
};

// One comment read back: false for any other text, or one whose name or user holds a
// control character (the list's columns are split at tabs).
bool ParseProgramComment(std::string_view comment, CommentedProgram& out);

// Which end a lone program comment belongs to, as the packet block's flags say it: its
// direction bits, inbound for the receiving end, outbound for the sending one.
inline constexpr uint32_t kInboundFlag = 1;
inline constexpr uint32_t kOutboundFlag = 2;
inline constexpr uint32_t kDirectionBits = 3;

// The direction flags a packet block gets for `owner`: set only when one end alone names a
// program, so that the end is known again when the file is read.
uint32_t OwnerDirection(const ProgramTable& table, uint32_t owner);

// The owner the comments of one packet give, interned in `table` (only on the thread that
// adds to it): the first two program comments, sender first; a lone one is the sender
// unless `flags` say inbound. kOwnerPending when no comment names a program.
uint32_t OwnerOfComments(ProgramTable& table, std::span<const std::string_view> comments, uint32_t flags);

}  // namespace trovix
