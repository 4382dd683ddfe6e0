// `corvane session`: see session.h.
#include "tools/common/session.h"

#include <poll.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <functional>

#include "component/component_methods.h"
#include "protocol/numbers.h"
#include "tools/common/capture.h"
#include "tools/common/event_text.h"

namespace corvane::tools {

namespace {

using Clock = std::chrono::steady_clock;

Variant FlagArgument(bool on) { return on ? Variant::I4(1) : Variant::Bool(false); }

// Handles events as they arrive until the deadline, or until `done` says so.
void PumpUntil(CComponentMethods& component, Clock::time_point deadline, std::ostream& out,
               bool flush, const std::function<bool()>& done = {}) {
  const int fd = static_cast<int>(component.EventWaitHandle());
  for (;;) {
    if (component.PumpEvents() > 0 && flush) out.flush();
    if (done && done()) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, 100)));
  }
  if (component.PumpEvents() > 0 && flush) out.flush();
}

std::shared_ptr<CallbackTarget> Printer(std::ostream& out, const char* kind) {
  return MakeCallback([&out, kind](CComponentMethods&, const std::string& text) {
    out << kind << ' ' << EscapeEventText(text) << '\n';
  });
}

}  // namespace

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
  int port = -1;
  const char* first = text.data() + colon + 1;
  const char* last = text.data() + text.size();
  auto [end, ec] = std::from_chars(first, last, port);
  if (ec != std::errc() || end != last || port < 0 || port > 65535) return std::nullopt;
  return Endpoint{text.substr(0, colon), port};
}

bool IsDottedAddress(const std::string& host) { return ParseDottedIPv4(host, kDottedSession); }

int RunSession(const SessionOptions& options, std::ostream& out, std::ostream& errors) {
  // Declared before the component, so it outlives the readers that write to it.
  CaptureWriter capture;
  std::unique_ptr<CComponentMethods> component = CComponentMethods::Create();
  if (!component) {
    errors << "corvane session: the component could not be made\n";
    return 1;
  }
  CComponentMethods& c = *component;
  if (!options.captureDirectory.empty()) {
    std::string error;
    if (!capture.Open(options.captureDirectory, &error)) {
      errors << "corvane session: " << error << "\n";
      return 1;
    }
    c.GetSession().Core().SetChunkObserver([&capture](const ReceivedChunk& chunk) {
      capture.Record(chunk.link, chunk.data, chunk.length, chunk.compression, chunk.encryption,
                     chunk.opening);
    });
  }
  c.setMultiOC(FlagArgument(options.multi));
  c.setCompression(FlagArgument(options.compression));
  c.setEncryption(FlagArgument(options.encryption));
  c.setTimerDetails(Variant::I4(0), Variant::I4(options.reconnectCount));
  if (options.proxyUser || options.proxyPassword)
    c.SetProxyCredentials(Variant::Str(options.proxyUser.value_or("")),
                          Variant::Str(options.proxyPassword.value_or("")));
  Variant ignored;
  if (options.tls) c.setTransportSecurity(Variant::I4(0), Variant::I4(1), &ignored);
  if (options.conflationTag) {
    Variant result;
    c.setConflation(Variant::I4(*options.conflationTag), Variant::I4(options.conflationIntervalMs),
                    &result);
    if (result.Int32() != 0) {
      errors << "corvane session: conflation on tag " << *options.conflationTag << " every "
             << options.conflationIntervalMs << " ms is refused\n";
      return 2;
    }
  }
  if (!options.pins.empty()) {
    std::string pins;
    for (const std::string& pin : options.pins) pins += pin + ";";
    c.setServerPins(Variant::I4(0), Variant::Str(pins), &ignored);
  }
  c.putref_handleConnect(Printer(out, "connect"));
  c.putref_handleConnectionFailure(Printer(out, "connection-failure"));
  c.putref_handleMaximumReConnection(Printer(out, "maximum-reconnection"));
  c.putref_handleDisConnect(Printer(out, "disconnect"));
  c.putref_handleBCDisConnect(Printer(out, "bc-disconnect"));
  c.putref_handleAuthentication(Printer(out, "authentication"));
  int dataEvents = 0;
  c.putref_handleData(
      MakeCallback([&out, &dataEvents](CComponentMethods&, const std::string& text) {
        out << "data " << EscapeEventText(text) << '\n';
        ++dataEvents;
      }));

  if (options.broadcast) {
    c.setOCDetails(
        Variant::Str(options.server.host), Variant::Str(std::to_string(options.server.port)),
        Variant::Str(options.broadcast->host),
        Variant::Str(std::to_string(options.broadcast->port)), Variant::Str(""), Variant::Str(""));
  } else {
    Variant result;
    c.SetServerDetails(Variant::Str(options.server.host), Variant::I4(options.server.port),
                       Variant::I4(0), Variant::I4(IsDottedAddress(options.server.host) ? 1 : 0),
                       &result);
  }
  const Clock::time_point connected = Clock::now();
  const SessionSnapshot made = c.GetSnapshot();
  for (int32_t connection : {1, 2}) {
    Variant security;
    c.getTransportSecurity(Variant::I4(connection), &security);
    if (!security.text.empty()) out << "security " << connection << ' ' << security.text << '\n';
  }
  if (options.flushEachBatch) out.flush();

  if (options.keepAliveMs) {
    c.setKeepAliveTimerDetail(Variant::I4(*options.keepAliveMs));
    Variant unused;
    c.startKeepAlive(Variant::Str(""), &unused);
  }
  for (const std::string& request : options.sends) {
    PumpUntil(c, Clock::now() + std::chrono::milliseconds(options.sendIntervalMs), out,
              options.flushEachBatch);
    Variant result;
    c.sendRequest(Variant::Str(request), &result);
    if (options.flushEachBatch) out.flush();
  }
  std::function<bool()> done;
  if (options.untilData) done = [&] { return dataEvents >= *options.untilData; };
  PumpUntil(c, connected + std::chrono::milliseconds(options.durationMs), out,
            options.flushEachBatch, done);

  Variant packets, requests;
  c.getPacketCount(&packets);
  c.getRequestCount(&requests);
  if (options.conflationTag) {
    Variant conflated;
    c.getConflatedCount(&conflated);
    out << "conflated " << conflated.Int32() << '\n';
  }
  out << "packets " << packets.Int32() << '\n' << "requests " << requests.Int32() << '\n';
  out.flush();
  component.reset();  // joins the readers: the capture is complete
  CaptureSetup setup;
  setup.multi = options.multi;
  setup.proxy = made.Of(LinkId::Interactive).route.proxyEnable == 1;
  setup.proxyCredentials = made.settings->proxyCredentials;
  for (LinkId id : kLinkIds) setup.reading[Index(id)] = made.Of(id).reading;
  capture.Finish(setup);
  return 0;
}

}  // namespace corvane::tools
