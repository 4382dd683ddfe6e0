// `corvane session`: one component driven from the command line as a page
// drives it, against real servers.
//
// Order of calls: setMultiOC, the codec flags, setTimerDetails with the
// reconnection count, the proxy credentials, the callbacks; then setOCDetails
// when a broadcast endpoint is given, else SetServerDetails (address-format
// flag 1 for a dotted address); then the keep-alive (interval and
// startKeepAlive) when asked for; then each request through sendRequest after
// a pause during which events are pumped; then events are pumped until the
// duration has passed since connecting. Every callback writes one line, in the
// order the callbacks run: "connect TEXT", "connection-failure TEXT",
// "maximum-reconnection TEXT", "disconnect TEXT", "bc-disconnect TEXT",
// "authentication TEXT",
// "data TEXT" (TEXT as EscapeEventText writes it). With TLS, once connected,
// "security N TEXT" for connection N (1 interactive, 2 broadcast) as
// getTransportSecurity gives it. With conflation on, "conflated N" (the
// messages replaced before they were written) comes before the last two
// lines, which are "packets N" and "requests N".
//
// Conflation (setConflation, before the connecting call) matters when the
// output is read more slowly than the feed arrives: a pipe into a slow reader
// holds this loop, the component's queue fills, and a feed message whose
// instrument already waits replaces it there, so the reader sees every
// instrument's newest value instead of a growing backlog.
//
// Events are pumped by waiting on the component's event handle (a file
// descriptor, readable while notifications wait) and calling PumpEvents.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace corvane::tools {

struct Endpoint {
  std::string host;
  int port = 0;
};

// "HOST:PORT" (the port after the last colon, 0 to 65535).
std::optional<Endpoint> ParseEndpoint(const std::string& text);
// Four dotted decimal numbers of at most three characters, each at most 255
// (a part may also be '-' and digits: protocol/numbers.h, kDottedSession).
bool IsDottedAddress(const std::string& host);

struct SessionOptions {
  Endpoint server;
  std::optional<Endpoint> broadcast;
  bool multi = false;
  bool compression = true;
  bool encryption = true;
  int32_t reconnectCount = 0;
  std::optional<std::string> proxyUser;
  std::optional<std::string> proxyPassword;
  bool tls = false;               // both connections over TLS (setTransportSecurity)
  std::vector<std::string> pins;  // setServerPins for both
  std::vector<std::string> sends;
  int sendIntervalMs = 0;
  std::optional<int32_t> keepAliveMs;
  int durationMs = 2000;
  // End as soon as this many data events have arrived (durationMs stays the
  // limit): a run that waits for a known feed rather than for a time.
  std::optional<int> untilData;
  // setConflation(tag, interval) when a tag is given: feed messages keyed on
  // this tag's value replace the one of their key still waiting.
  std::optional<int32_t> conflationTag;
  int32_t conflationIntervalMs = 0;
  // Flush the output after every pumped batch of events (for people watching).
  bool flushEachBatch = true;
  // Where to write a capture of every connection's reads (capture.h); empty: none.
  std::string captureDirectory;
};

// Returns the exit status: 0; 1 when the component cannot be made or the
// capture cannot be written; 2 when the component refuses the conflation.
int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& errors);

}  // namespace corvane::tools
