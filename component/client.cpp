#include "component/client.h"

#include "protocol/numbers.h"

namespace corvane {
namespace {

// The script interface's flag rule: a boolean turns a flag off, any other
// type turns it on.
Variant Flag(bool on) { return on ? Variant::I4(1) : Variant::Bool(false); }

Client::Connection Which(const std::string& text) {
  return text == "2" ? Client::Connection::Broadcast : Client::Connection::Interactive;
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
  if (options.proxyUser && options.proxyPassword) {
    c.SetProxyCredentials(Variant::Str(*options.proxyUser), Variant::Str(*options.proxyPassword));
  }
  Handlers& h = m_handlers;
  c.putref_handleConnect(MakeCallback([&h](CComponentMethods&, const std::string&) {
    if (h.connected) h.connected();
  }));
  c.putref_handleConnectionFailure(MakeCallback([&h](CComponentMethods&, const std::string& text) {
    if (h.connectionFailed) h.connectionFailed(Which(text));
  }));
  c.putref_handleMaximumReConnection(
      MakeCallback([&h](CComponentMethods&, const std::string& text) {
        if (h.attemptsUsedUp) h.attemptsUsedUp(Which(text));
      }));
  c.putref_handleDisConnect(MakeCallback([&h](CComponentMethods&, const std::string&) {
    if (h.disconnected) h.disconnected();
  }));
  c.putref_handleAuthentication(MakeCallback([&h](CComponentMethods&, const std::string& text) {
    if (!h.authentication) return;
    // true|CODE|STATUS; the status never holds "|" (it comes from one tag).
    const size_t first = text.find('|');
    const size_t second = first == std::string::npos ? first : text.find('|', first + 1);
    if (second == std::string::npos) {
      h.authentication({}, {});
      return;
    }
    h.authentication(text.substr(first + 1, second - first - 1), text.substr(second + 1));
  }));
  c.putref_handleData(MakeCallback([&h](CComponentMethods&, const std::string& text) {
    if (h.data) h.data(text);
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
