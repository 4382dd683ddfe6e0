// What a session reports to its owner thread: events, each for one of the
// two connections.
//
// Data and Authentication come from routed messages; the others are
// connection events (their callbacks: handleConnect, handleConnectionFailure,
// handleMaximumReConnection, handleDisConnect, handleBCDisConnect). Every
// event carries the text its script callback receives; an authentication
// event's text is "true|CODE|STATUS", and codeLength says where its code ends,
// so a typed host reads the code and the status without parsing the text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// The two connections of a session: the interactive one carries the logon and
// the requests, the broadcast one the market feed.
enum class LinkId : uint8_t { Interactive = 0, Broadcast = 1 };
inline constexpr std::array<LinkId, 2> kLinkIds{LinkId::Interactive, LinkId::Broadcast};
inline constexpr size_t Index(LinkId id) { return static_cast<size_t>(id); }
// "interactive" or "broadcast": how the tools and the trace name a connection.
inline constexpr std::array<std::string_view, 2> kLinkNames{"interactive", "broadcast"};
inline constexpr std::string_view LinkName(LinkId id) { return kLinkNames[Index(id)]; }

enum class EventKind : uint8_t {
  Data,
  Authentication,
  Connect,
  ConnectionFailure,
  MaximumReConnection,
  DisConnect,
  BCDisConnect
};

struct Event {
  EventKind kind = EventKind::Data;
  LinkId link = LinkId::Interactive;
  std::string text;
  // Authentication: the length of CODE in "true|CODE|STATUS".
  uint32_t codeLength = 0;

  static constexpr std::string_view kAuthPrefix = "true|";
  std::string_view Code() const {
    if (kind != EventKind::Authentication || text.size() < kAuthPrefix.size()) return {};
    return std::string_view(text).substr(kAuthPrefix.size(), codeLength);
  }
  std::string_view Status() const {
    const size_t from = kAuthPrefix.size() + codeLength + 1;
    if (kind != EventKind::Authentication || text.size() < from) return {};
    return std::string_view(text).substr(from);
  }
};

// The texts of the connection events.
inline constexpr std::string_view kEventTrue = "true";
inline constexpr std::string_view kEventFalse = "false";
// Which connection a failure or maximum event concerns, by LinkId.
inline constexpr std::array<std::string_view, 2> kLinkEventTexts{"1", "2"};

}  // namespace corvane
