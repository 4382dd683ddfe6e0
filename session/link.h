// Link: one of a session's two connections (interactive or broadcast) and
// everything that belongs to it alone: its endpoint, its route (direct, or a
// proxy with or without a tunnel), its Connection, its receive pipeline (the
// assembler, then decoding, splitting and queueing through the session's
// shared parts), its reconnection worker with its backoff, and its flags.
// What differs between the two connections is data (LinkRole), not code.
//
// One attempt (Attempt): start the socket layer, choose the route for this
// connection's own server, resolve the name to connect to unless addresses
// are dotted, open the Connection on it (its reader ends and is joined before
// the old socket goes), and, through a proxy with credentials, send the
// CONNECT request and read the proxy's answer. An attempt made by the worker
// is given up at once when the worker's run is cancelled (connect and answer
// alike); the owner's own attempts block its thread, as the script asked.
// Every attempt first waits for the session's attempt floor, and any attempt
// is given up once the session is abandoned (SessionCore).
//
// After a drop (OnLost, on the reader's thread): the reading flag goes, the
// drop event ("false" on handleDisConnect or handleBCDisConnect) is queued
// behind every message read before it, and the worker wakes. A worker run
// (Reconnect): the anti-storm pause (Backoff), then up to the reconnection
// count + 1 attempts with the reconnection time between them, each reported
// as the script's own sequences report, only queued.
//
// Threads: the owner thread and the link's worker run the link's sequences,
// one at a time (the owner takes the link from its worker with
// Reconnector::OwnerScope first); the reader runs the pipeline. The endpoint,
// the route and the backoff are guarded by the link's lock, which is never
// held across I/O; the assembler by the receive lock, held for one chunk.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "connection/connection.h"
#include "connection/reconnector.h"
#include "receive/assembler.h"
#include "receive/feed.h"
#include "session/core.h"
#include "session/route.h"

namespace corvane {

struct LinkRole {
  LinkId id;
  EventKind dropEvent;  // DisConnect or BCDisConnect
  // The script's own sequence makes reconnection count + 1 attempts back to
  // back (interactive), or one per pass (broadcast).
  bool ownerRetries;
  std::string_view EventText() const { return kLinkEventTexts[Index(id)]; }
};
inline constexpr LinkRole kInteractiveRole{LinkId::Interactive, EventKind::DisConnect, true};
inline constexpr LinkRole kBroadcastRole{LinkId::Broadcast, EventKind::BCDisConnect, false};

struct Endpoint {
  std::string name;     // as the script gave it
  std::string address;  // its dotted form once resolved; empty before
  int32_t port = 0;
  // What the connection and the requests name: the address once resolved.
  const std::string& Host() const { return address.empty() ? name : address; }
};

struct LinkSnapshot {
  Endpoint endpoint;
  Route route;
  bool reading = false;
  int32_t packets = 0;
};

class Link : private ConnectionSink {
 public:
  Link(LinkRole role, SessionCore& core);
  ~Link() override;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  const LinkRole& Role() const { return m_role; }
  LinkId Id() const { return m_role.id; }

  // ---- The endpoint (owner thread, holding the link) ----
  void SetEndpoint(std::string name, int32_t port);
  void SetPort(int32_t port);
  int32_t Port() const;
  // The host requests name, and whether they go to the proxy itself.
  std::string RequestHost() const;
  bool RequestsGoToProxy() const;

  // ---- Sequences (owner thread holding the link, or the link's worker) ----
  // One attempt: 0 connected, -1 failed. worker: the run making it (its
  // cancellation gives the attempt up), or nullptr for the owner's. tunnel:
  // through a proxy with credentials, the CONNECT request follows (the
  // script's ConnectToServer sends it itself, later).
  int32_t Attempt(const Reconnector* worker, bool tunnel = true);
  // After a successful attempt: reading from now on, on a new reader.
  bool StartReading();
  void NoteConnected();
  // Stops the reader and closes the socket.
  void Close();
  void StopReader() { m_connection.StopReader(); }
  // Asks the reader to end without waiting for it (shutdown).
  void RequestStop() { m_connection.RequestStop(); }
  Reconnector& Worker() { return m_worker; }
  // Clears the drop mark; true when the reader had queued a drop event that
  // no one has taken over yet.
  bool TakeDropQueued() { return m_dropQueued.exchange(0) != 0; }

  // ---- The socket, for the script's own steps (owner thread) ----
  int32_t SendWhole(const std::string& bytes);
  // The CONNECT request for this link's server on its socket (the receive
  // side then takes the proxy's answer): 0, or -3. Sends nothing without a
  // proxy or credentials.
  int32_t SendTunnelRequest();
  int ReceiveOnce(std::string& text, int& error) { return m_connection.ReceiveOnce(text, error); }
  // What TLS negotiated on the current connection; nullopt when plain.
  std::optional<tls::Negotiated> TlsParameters() const { return m_connection.TlsParameters(); }
  bool Lost() const { return m_connection.Lost(); }

  // ---- Flags ----
  bool Reading() const { return m_reading.load() != 0; }
  void SetReading(bool reading) { m_reading.store(reading ? 1 : 0); }
  void SetDataSeen(bool seen) { m_dataSeen.store(seen ? 1 : 0); }
  int32_t Packets() const { return m_packets.load(); }
  // The session's reset: not reading, no drop pending, counters and the
  // receive side back to their start. The socket stays open.
  void Reset();

  // ---- The receive pipeline ----
  // One chunk, as the reader hands it on (replay and tests call it too).
  int32_t Receive(int32_t length, const unsigned char* data);
  // Whether the receive side looks for the proxy's answer first.
  void SetTunnelRequested(bool requested);
  // The receive side as a new connection starts it.
  void ResetReceive();
  // What route discovery would have found (1: through the proxy), for
  // replaying captured traffic without an attempt.
  void SetProxyEnable(int32_t value);

  // ---- Reconnection state (tests and tools) ----
  std::vector<int32_t> Pauses() const;
  bool ReconnectBusy() const { return m_worker.Busy(); }

  LinkSnapshot Snapshot() const;
  // Socket-layer start-ups this link made, each matched by one clean-up.
  void CleanupSockets();

 private:
  // ConnectionSink: the reader's thread.
  bool KeepReading(const Connection& connection) override;
  bool Backlogged(const Connection& connection) override;
  int32_t OnChunk(Connection& connection, int32_t length, const unsigned char* data) override;
  void OnLost(Connection& connection, int error) override;
  void OnLoopFailed(Connection& connection) override;

  // Where a tunnel leads and through what: the server it names, the proxy as
  // the configuration named it (for integrated authentication) and the
  // address connected to (for a round on a new connection).
  struct TunnelTarget {
    std::string server;
    int32_t serverPort;
    std::string proxyName;
    std::string proxyAddress;
    int32_t proxyPort;
  };
  // The CONNECT rounds on the open connection to the proxy, answering its
  // 407s (route.h): 0 once the tunnel is open (or the first request could
  // not be sent), -1 otherwise.
  int32_t OpenTunnel(const TunnelTarget& target, const Settings& settings, bool integrated,
                     const std::function<bool()>& cancelled);

  // The worker's run after a drop.
  void Reconnect(Reconnector& worker);
  void QueueEvent(EventKind kind, std::string_view text);

  const LinkRole m_role;
  SessionCore& m_core;

  mutable std::mutex m_mutex;  // guards the members up to m_pauses
  Endpoint m_endpoint;
  Route m_route;
  Backoff m_backoff;
  int64_t m_connectedAtMs = 0;
  std::vector<int32_t> m_pauses;  // the latest 64, oldest first

  std::atomic<uint8_t> m_reading{0};
  std::atomic<uint8_t> m_dataSeen{0};
  std::atomic<uint8_t> m_dropQueued{0};
  std::atomic<int32_t> m_packets{0};
  std::atomic<int32_t> m_startups{0};

  std::mutex m_receiveMutex;  // guards m_assembler
  CReceiveAssembler m_assembler;

  // Declared last: the reader and the worker end (the destructor stops them)
  // before anything they use goes.
  Connection m_connection;
  Reconnector m_worker{[this](Reconnector& w) { Reconnect(w); }};
};

}  // namespace corvane
