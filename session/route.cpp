#include "session/route.h"

#include <algorithm>
#include <chrono>

#include "platform/proxy_rules.h"
#include "platform/trace.h"
#include "receive/proxy_answer.h"

namespace corvane {
namespace {

constexpr int64_t kMaxAnswerBody = 1 << 20;
// How often a wait looks at its cancellation.
constexpr int kCancelPollMs = 50;

// A status line as the trace shows it: printable ASCII only, bounded.
std::string TraceableStatus(std::string_view line) {
  std::string out;
  for (char c : line.substr(0, 200)) out += (c >= 0x20 && c < 0x7F) ? c : '?';
  return out;
}

}  // namespace

void ChooseRoute(ProxySettingsSource* source, const std::string& serverName, bool previousFailed,
                 Route& route) {
  ProxySettings settings;
  std::string proxy;
  route.refusal.clear();
  try {
    if (source == nullptr || !source->Read(serverName, settings)) {
      route.proxyEnable = -1;
    } else if (!settings.candidates.empty()) {
      std::string joined;
      for (const std::string& candidate : settings.candidates) joined += candidate + ";";
      if (joined != route.candidates) {
        route.candidates = joined;
        route.candidate = 0;
      } else if (previousFailed) {
        ++route.candidate;
      }
      proxy = settings.candidates[route.candidate % settings.candidates.size()];
      route.proxyEnable = proxy.empty() ? 0 : 1;
    } else if (!settings.enabled) {
      route.proxyEnable = 0;
    } else {
      bool socksOnly = false;
      proxy = HttpProxyFromList(settings.server, &socksOnly);
      if (proxy.empty()) {
        DebugTrace(socksOnly
                       ? "ReadProxySettings - only a SOCKS proxy is set: connecting directly\n"
                       : "ReadProxySettings - no HTTP proxy in the list: connecting directly\n");
      }
      route.proxyEnable = proxy.empty() ? 0 : 1;
    }
  } catch (...) {
    route.proxyEnable = -1;
  }
  if (!settings.unusable.empty()) {
    route.proxyEnable = 1;
    route.refusal = settings.unusable;
    return;
  }
  if (route.proxyEnable != 1) return;
  const ProxyAddress address = ParseProxyAddress(proxy);
  switch (address.kind) {
    case ProxyAddress::Kind::Http:
      route.proxyHost = address.host;
      route.proxyPort = address.port;
      break;
    case ProxyAddress::Kind::OtherKind:
      DebugTrace("ReadProxySettings - %s: connecting directly\n", address.problem.c_str());
      route.proxyEnable = 0;
      break;
    case ProxyAddress::Kind::Invalid:
      route.refusal = address.problem;
      break;
  }
}

TunnelAnswer ReadTunnelAnswer(SocketHandle socket, int32_t waitMs,
                              const std::function<bool()>& cancelled) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(0, waitMs));
  // One read of at most length bytes once the socket has something, within
  // the bound: bytes read, 0 for the end of the stream, -1 otherwise.
  auto readSome = [&](char* buffer, int length) -> int {
    for (;;) {
      if (cancelled && cancelled()) return -1;
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return -1;
      const int slice = static_cast<int>(std::min<int64_t>(left, kCancelPollMs));
      const net::WaitResult ready = net::WaitReadable(socket, slice);
      if (ready == net::WaitResult::Failed) return -1;
      if (ready == net::WaitResult::TimedOut) continue;
      const int n = net::Recv(socket, buffer, length);
      if (n >= 0) return n;
      if (net::LastError() != net::kWouldBlock) return -1;
    }
  };
  TunnelAnswer result;
  // The header one byte at a time: what follows it is the server's. Whatever
  // the proxy says first is its answer.
  ProxyAnswer answer(false);
  while (answer.state() == ProxyAnswer::State::NeedMore) {
    char c = 0;
    if (readSome(&c, 1) != 1) break;
    answer.Feed(std::string_view(&c, 1));
  }
  if (answer.state() != ProxyAnswer::State::Complete) {
    DebugTrace("ConnectSocket - no answer from the proxy to the tunnel request\n");
    return result;
  }
  result.status = answer.StatusCode();
  result.statusLine = TraceableStatus(answer.StatusLine());
  if (result.status == 200) {
    result.outcome = TunnelAnswer::Outcome::Open;
    return result;
  }
  result.outcome = TunnelAnswer::Outcome::Refused;
  result.challenges = answer.Challenges();
  // A 407's body (its page) is read and dropped, exactly, so that the next
  // round can follow on the same connection. Any other refusal ends the
  // attempt, and a connection the proxy does not keep is not used again:
  // their bodies are never waited for (one that runs to the close would hold
  // the attempt until the bound).
  if (result.status != 407 || !answer.KeepsConnection()) return result;
  AnswerBody body(answer.BodyKind(), answer.ContentLength());
  int64_t taken = 0;
  char sink[4096];
  while (body.state() == AnswerBody::State::NeedMore && taken < kMaxAnswerBody) {
    const int n = readSome(sink, static_cast<int>(std::min(body.Wanted(), sizeof sink)));
    if (n <= 0) {
      if (n == 0) body.End();
      break;
    }
    body.Feed(std::string_view(sink, static_cast<size_t>(n)));
    taken += n;
  }
  result.reusable = body.state() == AnswerBody::State::Complete && answer.KeepsConnection();
  return result;
}

}  // namespace corvane
