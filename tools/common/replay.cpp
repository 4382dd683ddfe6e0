// `corvane replay`: see replay.h.
#include "tools/common/replay.h"

#include <algorithm>
#include <array>

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
  Link& link = component->GetSession().GetLink(options.link);
  if (options.proxy) link.SetProxyEnable(1);
  if (options.proxyCredentials)
    component->SetProxyCredentials(Variant::Str("user"), Variant::Str("password"));
  // Through a proxy with credentials the connection began with a CONNECT
  // request, so the capture begins with the proxy's answer.
  if (options.proxy && options.proxyCredentials) link.SetTunnelRequested(true);
  PrintEvents(*component, out);

  link.SetReading(true);
  size_t offset = 0;
  size_t chunkIndex = 0;
  while (offset < stream.size()) {
    const size_t size = static_cast<size_t>(options.chunks[chunkIndex]);
    if (chunkIndex + 1 < options.chunks.size()) ++chunkIndex;
    const size_t n = std::min(size, stream.size() - offset);
    link.SetDataSeen(true);
    link.Receive(static_cast<int32_t>(n),
                 reinterpret_cast<const unsigned char*>(stream.data() + offset));
    offset += n;
  }
  Finish(*component, out);
  return 0;
}

int ReplayCapture(const Capture& capture, std::optional<LinkId> which, std::ostream& out,
                  std::ostream& errors) {
  std::unique_ptr<CComponentMethods> component = CComponentMethods::Create();
  if (!component) {
    errors << "corvane replay: the component could not be made\n";
    return 1;
  }
  Session& session = component->GetSession();
  const CaptureSetup& setup = capture.setup;
  component->setMultiOC(FlagArgument(setup.multi));
  if (setup.proxyCredentials)
    component->SetProxyCredentials(Variant::Str("user"), Variant::Str("password"));
  // Through a proxy with credentials each connection began with a CONNECT
  // request, so its reads begin with the proxy's answer.
  const bool tunnelled = setup.proxy && setup.proxyCredentials;
  for (LinkId id : kLinkIds) {
    Link& link = session.GetLink(id);
    if (setup.proxy) link.SetProxyEnable(1);
    if (tunnelled) link.SetTunnelRequested(true);
    if (setup.reading[Index(id)]) link.SetReading(true);
  }
  PrintEvents(*component, out);

  std::array<size_t, 2> at{};
  for (const CaptureChunk& chunk : capture.chunks) {
    const std::string& bytes = capture.bytes[Index(chunk.link)];
    size_t& offset = at[Index(chunk.link)];
    const size_t n = static_cast<size_t>(chunk.length);
    Link& link = session.GetLink(chunk.link);
    const bool wanted = !which || *which == chunk.link;
    if (wanted && chunk.opens) {
      link.ResetReceive();
      if (tunnelled) link.SetTunnelRequested(true);
    }
    if (wanted && offset + n <= bytes.size()) {
      component->setCompression(FlagArgument(chunk.compression));
      component->setEncryption(FlagArgument(chunk.encryption));
      link.SetDataSeen(true);
      link.Receive(chunk.length, reinterpret_cast<const unsigned char*>(bytes.data() + offset));
    }
    offset += n;
  }
  Finish(*component, out);
  return 0;
}

}  // namespace corvane::tools
