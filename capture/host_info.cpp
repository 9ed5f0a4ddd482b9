#include "capture/host_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "capture/printable_text.h"

namespace trovix {
namespace {

constexpr char kLoopbackAddress[] = "127.0.0.1";

std::string Line(std::string_view prefix, std::string_view text) {
  std::string line(prefix);
  line += PrintableText(text, kHostInfoLineMax);
  line.resize(std::min(line.size(), kHostInfoLineMax));
  return line;
}

std::string FailureLine(const char* query, uint32_t code) {
  char line[kHostInfoLineMax + 1];
  std::snprintf(line, sizeof line, "call to %s failed, return value: %08x", query, code);
  return line;
}

void SetSlot(CaptureState& state, int slot, std::string_view text) {
  char* target = state.interfaceSlots[slot];
  size_t n = std::min(text.size(), static_cast<size_t>(kSlotTextSize - 1));
  std::memcpy(target, text.data(), n);
  target[n] = '\0';
}

void AddNetworkParamLines(HostInfoSource& source, std::vector<std::string>& lines) {
  NetworkParams params = source.QueryNetworkParams();
  if (params.error != 0) {
    lines.push_back(FailureLine("GetNetworkParams", params.error));
    return;
  }
  lines.push_back(Line("host name: ", params.hostName));
  lines.push_back(Line("domain name: ", params.domainName));
  lines.push_back(Line("DNS server(s): ", params.dnsServers.empty() ? "" : params.dnsServers[0]));
  for (size_t i = 1; i < params.dnsServers.size(); ++i) lines.push_back(Line(" ", params.dnsServers[i]));
}

void AddAdapterLines(CaptureState& state, HostInfoSource& source, std::vector<std::string>& lines) {
  AdapterList adapters = source.QueryAdapters();
  switch (adapters.status) {
    case AdapterStatus::kNoData:
      lines.emplace_back("no adapter information exists for the local computer");
      SetSlot(state, 0, kLoopbackAddress);
      lines.emplace_back("local host IP address: 127.0.0.1");
      return;
    case AdapterStatus::kFailed:
      lines.push_back(FailureLine("GetAdaptersInfo", adapters.error));
      return;
    case AdapterStatus::kOk:
      break;
  }
  // The line grows with the adapter count rather than dropping addresses: a host with
  // many interfaces still shows every one of them.
  std::string line = "IP address(es): ";
  int slot = 0;
  for (const std::string& address : adapters.firstAddresses) {
    std::string text = PrintableText(address, kAddressTextMax);
    line += text;
    line += ' ';
    if (slot < kInterfaceSlots) SetSlot(state, slot++, text);
  }
  lines.push_back(std::move(line));
}

}  // namespace

std::vector<std::string> ShowHostNetworkInfo(CaptureState& state, HostInfoSource& source) {
  std::memset(state.interfaceSlots, 0, sizeof state.interfaceSlots);
  std::vector<std::string> lines;
  AddNetworkParamLines(source, lines);
  AddAdapterLines(state, source, lines);
  return lines;
}

std::vector<std::string> BindChoices(const CaptureState& state) {
  std::vector<std::string> choices;
  for (int slot = 0; slot < kInterfaceSlots; ++slot) {
    const char* text = state.interfaceSlots[slot];
    size_t length = strnlen(text, kSlotTextSize);
    if (slot == 0 || length > 0) choices.emplace_back(text, length);
  }
  choices.emplace_back(kLoopbackAddress);
  return choices;
}

}  // namespace trovix
