// The component suites' fixtures: see fixture.h.
#include "tests/component/fixture.h"

namespace corvane::test {

std::shared_ptr<FixedProxySource> DirectSource() {
  return std::make_shared<FixedProxySource>(true, false, "");
}

std::shared_ptr<FixedProxySource> ProxyAt(int32_t port) {
  return std::make_shared<FixedProxySource>(true, true, "127.0.0.1:" + std::to_string(port));
}

std::unique_ptr<CComponentMethods> MakeComponent(EventLog& log, const ComponentOptions& options) {
  std::unique_ptr<CComponentMethods> c = CComponentMethods::Create();
  if (!c) return c;
  // setMultiOC takes "on" from any argument that is not a boolean.
  c->setMultiOC(options.multi ? Variant::I4(1) : Variant::Bool(false));
  c->setCompression(Variant::Bool(false));
  c->setEncryption(Variant::Bool(false));
  c->setTimerDetails(Variant::I4(0), Variant::I4(options.reconnectCount));
  c->GetSession().Core().SetProxySource(options.proxy ? options.proxy : DirectSource());
  if (options.credentials)
    c->SetProxyCredentials(Variant::Str(options.user), Variant::Str(options.password));
  auto slot = [&log](const char* name) {
    return MakeCallback([&log, name](CComponentMethods&, const std::string& text) {
      log.Add(std::string(name) + " " + text);
    });
  };
  c->putref_handleConnect(slot("connect"));
  c->putref_handleConnectionFailure(slot("failure"));
  c->putref_handleMaximumReConnection(slot("maximum"));
  c->putref_handleDisConnect(slot("disconnect"));
  c->putref_handleBCDisConnect(slot("bcdisconnect"));
  c->putref_handleData(slot("data"));
  c->putref_handleAuthentication(slot("auth"));
  return c;
}

int32_t Connect(CComponentMethods& c, int32_t interactivePort, int32_t bcastPort) {
  Variant result;
  c.SetServerDetails(Variant::Str("127.0.0.1"), Variant::I4(interactivePort),
                     Variant::I4(bcastPort), Variant::I4(1), &result);
  return result.intValue;
}

std::string Response(const std::vector<std::string>& messages) {
  std::string body;
  for (const auto& m : messages) body += "\x02" + m;
  return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

int32_t PacketCount(CComponentMethods& c) {
  Variant count;
  c.getPacketCount(&count);
  return count.intValue;
}

}  // namespace corvane::test
