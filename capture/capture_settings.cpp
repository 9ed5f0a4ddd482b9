// The options of "go!" (or of a request to the capture helper) read into the settings a
// capture runs with.
#include "capture/capture_settings.h"

#include <algorithm>
#include <cstring>

namespace trovix {
namespace {

constexpr std::string_view kLoopbackText = "127.0.0.1";

void CopyBounded(char* out, size_t size, std::string_view text) {
  size_t n = std::min(text.size(), size - 1);
  std::memcpy(out, text.data(), n);
  std::memset(out + n, 0, size - n);
}

}  // namespace

void ApplyCaptureOptions(CaptureSettings& settings, const CaptureOptions& options) {
  // An IPv4 text is read to 19 characters; a text in IPv6 form (two colons) to the 45 an
  // IPv6 address may have.
  std::string_view bind = options.bindText.substr(0, std::min(options.bindText.find('\0'), size_t{kBindTextSize - 1}));
  if (!IsIpv6FilterText(bind)) bind = bind.substr(0, kBindTextIpv4Max);
  CopyBounded(settings.bindText, sizeof settings.bindText, bind);
  settings.bindMatches[0] = bind == kLoopbackText ? 1 : 0;
  for (int slot = 0; slot < kInterfaceSlots; ++slot) {
    settings.bindMatches[slot + 1] = bind == settings.interfaceSlots[slot] ? 1 : 0;
  }

  settings.sourceFilter = ParseEndpointFilter(options.fromText);
  settings.destinationFilter = ParseEndpointFilter(options.toText);
  bool fit = options.fromText.size() < kFilterTextKept && options.toText.size() < kFilterTextKept;
  settings.filterTextsFit = fit ? 1 : 0;
  CopyBounded(settings.fromText, sizeof settings.fromText, fit ? options.fromText : std::string_view());
  CopyBounded(settings.toText, sizeof settings.toText, fit ? options.toText : std::string_view());
  settings.TwoWayTraffic = options.twoWayTraffic ? 1 : 0;
  SetReverseAddresses(settings);
  settings.OnTcp = options.tcp ? 1 : 0;
  settings.OnUdp = options.udp ? 1 : 0;
  settings.OnIcmp = options.icmp ? 1 : 0;
  settings.OnIgmp = options.igmp ? 1 : 0;
  settings.OnRaw = options.raw ? 1 : 0;
  settings.OnIpv4 = options.ipv4 ? 1 : 0;
  settings.OnIpv6 = options.ipv6 ? 1 : 0;
  settings.interfaceIndex = options.interfaceIndex;
  settings.expressionProgram = options.expressionProgram;
}

}  // namespace trovix
