// The bridge's settings and the checks made with them.
//
// A WebSocket server on loopback can be reached by every page the user opens,
// so three things are checked before a page drives a component:
//   - the handshake's Origin header is one of the allowed page origins
//     (compared exactly, after lowercasing the scheme and host; no wildcard);
//   - its Host header names a loopback address or localhost, so that a name
//     that a public site re-points at 127.0.0.1 (DNS rebinding) is refused;
//   - every server a call would connect to is an allowed HOST:PORT.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::bridge {

struct ServerAddress {
  std::string host;  // as the page names it, lowercased; IPv6 without brackets
  int32_t port = 0;
  bool operator==(const ServerAddress&) const = default;
};

struct BridgeConfig {
  uint16_t port = 8765;  // 0: a free port (printed at start)
  std::vector<std::string> allowedOrigins;
  std::vector<ServerAddress> allowedServers;
  size_t maxFrameBytes = 64 * 1024;      // larger messages close with 1009
  uint32_t maxMessagesPerSecond = 500;   // sustained; a second's worth in a burst; 1008 above
  uint32_t maxConnections = 8;           // handshakes beyond are answered 503
  size_t writeQueueBytes = 1024 * 1024;  // above it the component is not pumped
  // The least time between two connection attempts of one page's component
  // (SessionCore::SetAttemptFloor): 10 attempts a second at most, however
  // the page sets the reconnection count and time. Not an option: no
  // configuration lets a page storm a server. Tests change it.
  int32_t attemptFloorMs = 100;
  // Added to the system's transport policy (tls_policy.h) for every page:
  // servers always reached over TLS, and whether plain connections are
  // refused.
  std::vector<std::string> tlsServers;
  bool refusePlain = false;
};

// "HOST:PORT" or "[V6]:PORT"; nullopt when malformed.
std::optional<ServerAddress> ParseServerAddress(std::string_view text);
// An origin as browsers send it ("scheme://host[:port]"), normalised for the
// comparison: scheme and host lowercased, no trailing slash. nullopt when it
// is not of that form ("null", paths, user info).
std::optional<std::string> NormaliseOrigin(std::string_view origin);

bool OriginAllowed(const BridgeConfig& config, std::string_view origin);
// The Host header names 127.0.0.0/8, [::1] or localhost (any port).
bool HostIsLoopback(std::string_view host);
bool ServerAllowed(const BridgeConfig& config, const ServerAddress& server);

std::string ToString(const ServerAddress& server);

}  // namespace corvane::bridge
