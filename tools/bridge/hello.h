// The version handshake and the status answer: sans-I/O (text in, text out).
//
// Protocol levels. Level 1 is the message format of members.h (calls,
// replies, one event per frame). Level 2 adds only this: events may arrive
// batched, a JSON array of event objects in the order they were made. A page
// that sends no hello is a level-1 page and is served at level 1.
//
// A page that speaks a higher level sends, as its very first message,
//   {"hello": {"protocol": N, "client": "corvane.js 1.2.3"}}
// and the bridge answers
//   {"hello": {"protocol": M, "bridge": "1.2.3", "component": "1.2.3"}}
// with M the highest level it speaks that is at most N. When it speaks no
// level that low (N below kProtocolMin) it answers nothing and closes with
// kCloseProtocolUnsupported, whose reason names both (for example "protocol
// level 0 is not supported: this bridge speaks 1 to 2"); a hello that is not
// of that form closes with kCloseMalformedHello. A hello after the first
// message is not one: it is answered as a malformed call.
//
// The status answer (GET /status, no WebSocket, no origin check) tells any
// page the versions and whether its own origin is allowed, and nothing else:
//   {"bridge": "1.2.3", "component": "1.2.3",
//    "protocol": {"min": 1, "max": 2}, "originAllowed": false}
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/bridge/config.h"

namespace corvane::bridge {

constexpr int kProtocolMin = 1;
constexpr int kProtocolMax = 2;

// The bridge's own close codes (the WebSocket range for applications,
// 4000-4999); session.h lists every close code the bridge sends.
constexpr uint16_t kCloseProtocolUnsupported = 4000;
constexpr uint16_t kCloseMalformedHello = 4001;

constexpr std::string_view kStatusPath = "/status";

// The bridge's and the component's versions: both the CMake project's.
std::string_view BridgeVersion();
std::string_view ComponentVersion();

struct HelloOutcome {
  enum Kind {
    kNotHello,  // a level-1 page's first call: served at level 1
    kServe,     // answer (the hello frame) and serve level
    kRefuse,    // close with closeCode and answer as its reason
  };
  Kind kind = kNotHello;
  int level = kProtocolMin;
  uint16_t closeCode = 0;
  std::string answer;
};

// The page's first message. Throws nothing; a frame that is not JSON (or
// nests deeper than a call may) is kNotHello, left to the call's own checks.
HelloOutcome ReadHello(std::string_view frame);

// The status answer's body for a page of this origin (empty: none sent).
std::string StatusBody(const BridgeConfig& config, std::string_view origin);

// The origin to echo in Access-Control-Allow-Origin: the request's own when
// it is a well-formed origin of printable ASCII, else empty (no header).
std::string CorsOrigin(std::string_view origin);

}  // namespace corvane::bridge
