// Client: a typed C++ face over CComponentMethods for native hosts.
//
// It makes the script-shaped calls in the order a page makes them (setMultiOC
// first, then the other settings, the callbacks, then the endpoints) and turns
// the text events into typed handlers. The script interface stays the
// reference: component() gives it whole.
//
//   corvane::Client::Handlers on;
//   on.data = [](const std::string& message) { ... };
//   auto client = corvane::Client::Create({.broadcast = true}, std::move(on));
//   client->Connect("127.0.0.1", 9001, "127.0.0.1", 9002);
//   client->Send("1=logon|2=user|3=secret");
//   // in the event loop: poll client->EventWaitHandle(), then client->PumpEvents()
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/component_methods.h"

namespace corvane {

class Client {
 public:
  struct Options {
    bool broadcast = false;  // the second (broadcast) connection is used
    bool compression = true;
    bool encryption = true;
    int32_t reconnectCount = 0;  // further interactive attempts after a failure
    int32_t reconnectPauseMs = 0;
    int32_t keepAliveMs = 0;
    std::optional<std::string> proxyUser;  // with proxyPassword: Basic credentials
    std::optional<std::string> proxyPassword;
    bool tls = false;               // both connections over TLS, fully verified
    std::vector<std::string> pins;  // "sha256/<base64>", checked in addition
  };

  enum class Connection { Interactive, Broadcast };

  struct Handlers {
    std::function<void()> connected;
    std::function<void(Connection)> connectionFailed;
    std::function<void(Connection)> attemptsUsedUp;
    std::function<void()> disconnected;  // a request could not be sent
    // A logon response: its code (tag 70) and the status text.
    std::function<void(const std::string& code, const std::string& status)> authentication;
    std::function<void(const std::string& message)> data;
  };

  // nullptr when the component cannot be made.
  static std::unique_ptr<Client> Create(const Options& options, Handlers handlers);

  // One interactive server (and the broadcast server on the same host and the
  // given port when the broadcast connection is used). Connection events fire
  // before these return.
  void Connect(const std::string& host, uint16_t port, uint16_t broadcastPort = 0);
  void Connect(const std::string& host, uint16_t port, const std::string& broadcastHost,
               uint16_t broadcastPort);

  // 0 sent, -3 not sent (the component reconnects), -1 refused. Like the
  // script interface's sendRequest it switches compression and encryption off,
  // for what is received too; SetCodecs turns them on again where the server
  // goes on coding its traffic.
  int32_t Send(std::string_view message);
  void SetCodecs(bool compression, bool encryption);
  bool StartKeepAlive();

  int PumpEvents() { return m_component->PumpEvents(); }
  intptr_t EventWaitHandle() const { return m_component->EventWaitHandle(); }
  int32_t PacketCount();
  int32_t RequestCount();
  // What TLS negotiated on a connection made over it; nullopt otherwise.
  std::optional<tls::Negotiated> TransportSecurity(Connection which);

  CComponentMethods& component() { return *m_component; }

 private:
  Client(std::unique_ptr<CComponentMethods> component, Handlers handlers);
  void Configure(const Options& options);

  std::unique_ptr<CComponentMethods> m_component;
  Handlers m_handlers;
  Options m_options;
};

}  // namespace corvane
