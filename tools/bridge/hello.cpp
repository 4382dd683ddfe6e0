// The version handshake and the status answer: see hello.h.
#include "tools/bridge/hello.h"

#include <corvane_version.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "tools/bridge/text.h"

namespace corvane::bridge {

namespace {
using json = nlohmann::json;

// A hello nests three levels; anything deeper is not one (and the parser's
// callback stops at once, whatever the frame holds).
constexpr int kHelloNesting = 4;

std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}
}  // namespace

std::string_view BridgeVersion() { return CORVANE_VERSION_STRING; }
// The component is built from the same tree as the bridge that carries it.
std::string_view ComponentVersion() { return CORVANE_VERSION_STRING; }

HelloOutcome ReadHello(std::string_view frame) {
  HelloOutcome out;
  try {
    const json message = ParsePageJson(frame, kHelloNesting);
    if (message.is_discarded() || !message.is_object() || !message.contains("hello")) return out;
    const json& hello = message["hello"];
    const auto malformed = [&out] {
      out.kind = HelloOutcome::kRefuse;
      out.closeCode = kCloseMalformedHello;
      out.answer = "a hello is {\"hello\": {\"protocol\": LEVEL, \"client\": NAME}}";
      return out;
    };
    if (message.size() != 1 || !hello.is_object() || !hello.contains("protocol") ||
        !hello["protocol"].is_number_integer())
      return malformed();
    // Non-negative integers parse as unsigned, negative ones as signed.
    const json& protocol = hello["protocol"];
    const bool negative = !protocol.is_number_unsigned();
    if (negative || protocol.get<uint64_t>() < static_cast<uint64_t>(kProtocolMin)) {
      out.kind = HelloOutcome::kRefuse;
      out.closeCode = kCloseProtocolUnsupported;
      // A close reason is at most 123 bytes: the level a page names is
      // written only while it is short.
      const std::string level = negative ? std::to_string(protocol.get<int64_t>())
                                         : std::to_string(protocol.get<uint64_t>());
      out.answer = "protocol level " + (level.size() <= 20 ? level : std::string("below 1")) +
                   " is not supported: this bridge speaks " + std::to_string(kProtocolMin) +
                   " to " + std::to_string(kProtocolMax);
      return out;
    }
    out.kind = HelloOutcome::kServe;
    out.level = static_cast<int>(
        std::min<uint64_t>(protocol.get<uint64_t>(), static_cast<uint64_t>(kProtocolMax)));
    out.answer = Dump(json{{"hello",
                            {{"protocol", out.level},
                             {"bridge", BridgeVersion()},
                             {"component", ComponentVersion()}}}});
    return out;
  } catch (const std::exception&) {
    return HelloOutcome{};
  }
}

std::string StatusBody(const BridgeConfig& config, std::string_view origin) {
  return Dump(json{{"bridge", BridgeVersion()},
                   {"component", ComponentVersion()},
                   {"protocol", {{"min", kProtocolMin}, {"max", kProtocolMax}}},
                   {"originAllowed", OriginAllowed(config, origin)}});
}

std::string CorsOrigin(std::string_view origin) {
  if (origin.size() > 256 ||
      !std::all_of(origin.begin(), origin.end(), [](char ch) { return ch > 0x20 && ch < 0x7f; }) ||
      !NormaliseOrigin(origin))
    return {};
  return std::string(origin);
}

}  // namespace corvane::bridge
