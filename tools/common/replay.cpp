// `corvane replay`: see replay.h.
#include "tools/common/replay.h"

#include <algorithm>

#include "component/component_methods.h"
#include "tools/common/event_text.h"

namespace corvane::tools {

namespace {

// A flag argument as a page passes it: a VT_BOOL always turns the flag off,
// any other type turns it on.
Variant FlagArgument(bool on) { return on ? Variant::I4(1) : Variant::Bool(false); }

void PrintEvents(CComponentMethods& component, std::ostream& out) {
  component.putref_handleAuthentication(
      MakeCallback([&out](CComponentMethods&, const std::string& text) {
        out << "authentication " << EscapeEventText(text) << '\n';
      }));
  component.putref_handleData(MakeCallback([&out](CComponentMethods&, const std::string& text) {
    out << "data " << EscapeEventText(text) << '\n';
  }));
}

void Finish(CComponentMethods& component, std::ostream& out) {
  while (component.PumpEvents() > 0) {
  }
  Variant packets;
  component.getPacketCount(&packets);
  out << "packets " << packets.Int32() << '\n';
  out.flush();
}

}  // namespace

int Replay(const ReplayOptions& options, std::string_view stream, std::ostream& out,
           std::ostream& errors) {
  if (options.chunks.empty() || std::any_of(options.chunks.begin(), options.chunks.end(),
                                            [](int n) { return n < 1 || n > kRecvBufferSize; })) {
    errors << "corvane replay: chunk sizes must be from 1 to " << kRecvBufferSize << "\n";
    return 1;
  }
  std::unique_ptr<CComponentMethods> component = CComponentMethods::Create();
  if (!component) {
    errors << "corvane replay: the component could not be made\n";
    return 1;
  }
  component->setMultiOC(FlagArgument(options.multi));
  component->setCompression(FlagArgument(options.compression));
  component->setEncryption(FlagArgument(options.encryption));
  if (options.proxy) component->SetProxyEnable(1);
  if (options.proxyCredentials)
    component->SetProxyCredentials(Variant::Str("user"), Variant::Str("password"));
  // Through a proxy with credentials the connection began with a CONNECT
  // request, so the capture begins with the proxy's answer.
  if (options.proxy && options.proxyCredentials)
    component->SetTunnelRequested(options.interactive, true);
  PrintEvents(*component, out);

  const bool interactive = options.interactive;
  component->SetReading(interactive, true);
  size_t offset = 0;
  size_t chunkIndex = 0;
  while (offset < stream.size()) {
    const size_t size = static_cast<size_t>(options.chunks[chunkIndex]);
    if (chunkIndex + 1 < options.chunks.size()) ++chunkIndex;
    const size_t n = std::min(size, stream.size() - offset);
    component->SetDataSeen(interactive);
    component->DispatchReceived(interactive, static_cast<int32_t>(n),
                                reinterpret_cast<const unsigned char*>(stream.data() + offset));
    offset += n;
  }
  Finish(*component, out);
  return 0;
}

int ReplayCapture(const Capture& capture, CaptureConnections which, std::ostream& out,
                  std::ostream& errors) {
  std::unique_ptr<CComponentMethods> component = CComponentMethods::Create();
  if (!component) {
    errors << "corvane replay: the component could not be made\n";
    return 1;
  }
  const CaptureSetup& setup = capture.setup;
  component->setMultiOC(FlagArgument(setup.multi));
  if (setup.proxy) component->SetProxyEnable(1);
  if (setup.proxyCredentials)
    component->SetProxyCredentials(Variant::Str("user"), Variant::Str("password"));
  // Through a proxy with credentials each connection began with a CONNECT
  // request, so its reads begin with the proxy's answer.
  if (setup.proxy && setup.proxyCredentials) {
    component->SetTunnelRequested(true, true);
    component->SetTunnelRequested(false, true);
  }
  PrintEvents(*component, out);
  if (setup.interactiveReading) component->SetReading(true, true);
  if (setup.broadcastReading) component->SetReading(false, true);

  size_t interactiveAt = 0, broadcastAt = 0;
  for (const CaptureChunk& chunk : capture.chunks) {
    const std::string& bytes =
        chunk.interactive ? capture.interactiveBytes : capture.broadcastBytes;
    size_t& at = chunk.interactive ? interactiveAt : broadcastAt;
    const size_t n = static_cast<size_t>(chunk.length);
    const bool wanted = which == CaptureConnections::kBoth ||
                        (which == CaptureConnections::kInteractive) == chunk.interactive;
    if (wanted && chunk.opens) {
      component->ResetReceive(chunk.interactive);
      if (setup.proxy && setup.proxyCredentials)
        component->SetTunnelRequested(chunk.interactive, true);
    }
    if (wanted && at + n <= bytes.size()) {
      component->setCompression(FlagArgument(chunk.compression));
      component->setEncryption(FlagArgument(chunk.encryption));
      component->SetDataSeen(chunk.interactive);
      component->DispatchReceived(chunk.interactive, chunk.length,
                                  reinterpret_cast<const unsigned char*>(bytes.data() + at));
    }
    at += n;
  }
  Finish(*component, out);
  return 0;
}

}  // namespace corvane::tools
