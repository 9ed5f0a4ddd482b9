#include "capture/program_comment.h"

#include <charconv>
#include <climits>

namespace trovix {
namespace {

constexpr std::string_view kPrefix = "program: ";
constexpr std::string_view kPid = " (pid ";
constexpr std::string_view kUser = ", user ";
constexpr std::string_view kUserAlone = "user ";

bool Showable(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) return false;
  }
  return true;
}

// "NAME (pid PID, user USER)", the name taken up to the last " (pid ", which a
// program's own name may hold too.
bool ParseWithPid(std::string_view text, CommentedProgram& out) {
  size_t open = text.rfind(kPid);
  if (!text.ends_with(')') || open == std::string_view::npos) return false;
  std::string_view rest = text.substr(open + kPid.size(), text.size() - open - kPid.size() - 1);
  size_t comma = rest.find(kUser);
  if (comma == std::string_view::npos || comma == 0) return false;
  std::string_view digits = rest.substr(0, comma), user = rest.substr(comma + kUser.size());
  long pid = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  if (error != std::errc() || end != digits.data() + digits.size() || pid <= 0 || pid > INT_MAX) return false;
  std::string_view name = text.substr(0, open);
  if (!Showable(name) || !Showable(user)) return false;
  out = {name, static_cast<pid_t>(pid), user};
  return true;
}

}  // namespace

std::string ProgramComment(const ProgramTable& table, uint32_t id) {
  const Program* p = table.ProgramOf(id);
  if (p == nullptr) return {};
  if (p->pid == 0) return std::string(kPrefix) + std::string(kUserAlone) + p->user;
  return std::string(kPrefix) + p->name + std::string(kPid) + std::to_string(p->pid) + std::string(kUser) + p->user +
         ')';
}

bool ParseProgramComment(std::string_view comment, CommentedProgram& out) {
  if (!comment.starts_with(kPrefix)) return false;
  comment.remove_prefix(kPrefix.size());
  if (ParseWithPid(comment, out)) return true;
  if (!comment.starts_with(kUserAlone) || !Showable(comment.substr(kUserAlone.size()))) return false;
  out = {{}, 0, comment.substr(kUserAlone.size())};
  return true;
}

uint32_t OwnerDirection(const ProgramTable& table, uint32_t owner) {
  if (owner == kOwnerPending || owner == kUnknownOwner) return 0;
  Owner ends = table.OwnerOf(owner);
  bool source = table.ProgramOf(ends.source) != nullptr, destination = table.ProgramOf(ends.destination) != nullptr;
  if (source == destination) return 0;
  return source ? kOutboundFlag : kInboundFlag;
}

uint32_t OwnerOfComments(ProgramTable& table, std::span<const std::string_view> comments, uint32_t flags) {
  uint32_t ids[2];
  size_t named = 0;
  for (std::string_view comment : comments) {
    CommentedProgram p;
    if (named < 2 && ParseProgramComment(comment, p)) ids[named++] = table.InternProgram(p.name, p.pid, p.user);
  }
  if (named == 0) return kOwnerPending;
  if (named == 2) return table.InternOwner(ids[0], ids[1]);
  bool inbound = (flags & kDirectionBits) == kInboundFlag;
  return inbound ? table.InternOwner(kNoProgram, ids[0]) : table.InternOwner(ids[0], kNoProgram);
}

}  // namespace trovix
