#include "component/client.h"

#include "protocol/numbers.h"

namespace corvane {
namespace {

// The script interface's flag rule: a boolean turns a flag off, any other
// type turns it on.
Variant Flag(bool on) { return on ? Variant::I4(1) : Variant::Bool(false); }

Client::Connection Which(const Event& event) {
  return event.link == LinkId::Broadcast ? Client::Connection::Broadcast
                                         : Client::Connection::Interactive;
}

// A slot's target that takes the event itself: which connection, the logon
// code and status, the message, with nothing parsed back out of a text.
class TypedTarget final : public CallbackTarget {
 public:
  explicit TypedTarget(std::function<void(const Event&)> handler) : m_handler(std::move(handler)) {}
  void Call(CComponentMethods&, const std::string&) override {}
  void Deliver(CComponentMethods&, const Event& event) override { m_handler(event); }

 private:
  std::function<void(const Event&)> m_handler;
};

std::shared_ptr<CallbackTarget> Typed(std::function<void(const Event&)> handler) {
  return std::make_shared<TypedTarget>(std::move(handler));
}

}  // namespace

std::unique_ptr<Client> Client::Create(const Options& options, Handlers handlers) {
  auto component = CComponentMethods::Create();
  if (!component) return nullptr;
  std::unique_ptr<Client> client(new Client(std::move(component), std::move(handlers)));
  client->Configure(options);
  return client;
}

Client::Client(std::unique_ptr<CComponentMethods> component, Handlers handlers)
    : m_component(std::move(component)), m_handlers(std::move(handlers)) {}

void Client::SetCodecs(bool compression, bool encryption) {
  m_component->setCompression(Flag(compression));
  m_component->setEncryption(Flag(encryption));
}

void Client::Configure(const Options& options) {
  m_options = options;
  CComponentMethods& c = *m_component;
  c.setMultiOC(Flag(options.broadcast));  // first: it resets the rest
  c.setCompression(Flag(options.compression));
  c.setEncryption(Flag(options.encryption));
  c.setTimerDetails(Variant::I4(options.reconnectPauseMs), Variant::I4(options.reconnectCount));
  c.setKeepAliveTimerDetail(Variant::I4(options.keepAliveMs));
  if (options.tls) {
    Variant result;
    c.setTransportSecurity(Variant::I4(0), Variant::I4(1), &result);
  }
  if (!options.pins.empty()) {
    std::string pins;
    for (const std::string& pin : options.pins) pins += pin + ";";
    Variant result;
    c.setServerPins(Variant::I4(0), Variant::Str(pins), &result);
  }
  if (options.proxyUser && options.proxyPassword) {
    c.SetProxyCredentials(Variant::Str(*options.proxyUser), Variant::Str(*options.proxyPassword));
  }
  Handlers& h = m_handlers;
  c.putref_handleConnect(Typed([&h](const Event&) {
    if (h.connected) h.connected();
  }));
  c.putref_handleConnectionFailure(Typed([&h](const Event& e) {
    if (h.connectionFailed) h.connectionFailed(Which(e));
  }));
  c.putref_handleMaximumReConnection(Typed([&h](const Event& e) {
    if (h.attemptsUsedUp) h.attemptsUsedUp(Which(e));
  }));
  c.putref_handleDisConnect(Typed([&h](const Event&) {
    if (h.disconnected) h.disconnected();
  }));
  c.putref_handleAuthentication(Typed([&h](const Event& e) {
    if (h.authentication) h.authentication(std::string(e.Code()), std::string(e.Status()));
  }));
  c.putref_handleData(Typed([&h](const Event& e) {
    // A message ends at its first zero byte, as for script.
    if (h.data) h.data(e.text.substr(0, e.text.find('\0')));
  }));
}

void Client::Connect(const std::string& host, uint16_t port, uint16_t broadcastPort) {
  if (m_options.broadcast && broadcastPort != 0) {
    Connect(host, port, host, broadcastPort);
    return;
  }
  Variant result;
  m_component->SetServerDetails(Variant::Str(host), Variant::I4(port), Variant::I4(broadcastPort),
                                Variant::I4(ParseDottedIPv4(host, kDottedDigits) ? 1 : 0), &result);
}

void Client::Connect(const std::string& host, uint16_t port, const std::string& broadcastHost,
                     uint16_t broadcastPort) {
  m_component->setOCDetails(
      Variant::Str(host), Variant::Str(std::to_string(port)), Variant::Str(broadcastHost),
      Variant::Str(std::to_string(broadcastPort)), Variant::Str(""), Variant::Str(""));
}

int32_t Client::Send(std::string_view message) {
  Variant result;
  m_component->sendRequest(Variant::Str(std::string(message)), &result);
  return result.intValue;
}

bool Client::StartKeepAlive() {
  Variant unused;
  return m_component->startKeepAlive(Variant::Str(""), &unused) == kS_OK;
}

std::optional<tls::Negotiated> Client::TransportSecurity(Connection which) {
  return m_component->GetSession()
      .GetLink(which == Connection::Broadcast ? LinkId::Broadcast : LinkId::Interactive)
      .TlsParameters();
}

int32_t Client::PacketCount() {
  Variant count;
  m_component->getPacketCount(&count);
  return count.intValue;
}

int32_t Client::RequestCount() {
  Variant count;
  m_component->getRequestCount(&count);
  return count.intValue;
}

}  // namespace corvane
