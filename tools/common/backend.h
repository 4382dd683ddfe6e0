// The sandbox back end: a loopback stand-in for the real servers.
//
// Two listening ports, each served by its own thread, one client at a time: a
// new connection replaces the current client (a reconnecting component closes
// or abandons its old socket), so clients are served in sequence.
//
// Interactive port: reads the component's requests and answers each one. Until
// a logon response with a success code has been sent to the client, every
// request is answered with the logon response "70=CODE|394=KEY" (plus the
// extra pairs given); later requests get the reply text, in which "{request}"
// stands for the request's message.
//
// Broadcast port: streams a synthetic market feed, one message per record of
// tag=value pairs joined by "|" (34 = sequence number, 60 = the steady clock
// in nanoseconds when the message was made, 58 = padding up to the message
// size), at a given rate, optionally starting with the logon response and
// optionally ending after a count (the connection then stays open and idle).
// With the feed set to start at logon, it starts 100 ms after a successful
// logon response has been written on the interactive port (so that the
// component has taken it before the first feed message arrives).
//
// Both ports frame their responses as protocol/encoder.h describes, enciphered
// with the component's own cipher (tools/common/cipher.h); the encrypted
// framings use the fixed key for each client's first response and hold
// everything after it back for the first delay, so that the receiver's first
// read holds that response alone (see wire::FrameEncoder).
//
// Fault options: refuse connections (the port is bound and never listened on,
// so connecting is refused), close a client after N bytes (0: at accept), and
// delay each answer or the feed's start.
//
// Drops: a client is let go once it has been given a number of messages (feed
// messages on the broadcast port, answers on the interactive port) or has been
// served for a while, whichever comes first. Nothing more is made for it from
// then on; once everything made has been written, it is closed (FIN), reset
// (SO_LINGER {1, 0} then close: RST, whatever the peer has not read is lost)
// or its port is restarted (the client is closed and the listening socket
// too, so connecting is refused, then the same port listens again after a
// pause). The kinds are used in turn, each port counting its own drops. Every
// drop is logged with the last feed message written before it, so a receiver
// can tell what it must have had. With the numbering continued, feed numbers
// (and the count) run on across clients instead of starting again at 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "delivery/event.h"
#include "protocol/encoder.h"
#include "tools/common/backend_tls.h"

namespace corvane::tools {

// The framings the ports send.
using wire::Framing;

enum class Drop { kClose, kReset, kRestart };
const char* DropName(Drop drop);  // "close", "reset", "restart"

struct BackendOptions {
  enum class FeedStart { kConnect, kLogon };

  std::string host = "127.0.0.1";
  int interactivePort = 0;  // 0: any free port
  int broadcastPort = 0;
  Framing interactiveFraming = Framing::kPlain;
  Framing framing = Framing::kPlain;  // the broadcast port's
  std::string logonCode = "10000";
  std::string sessionKey = "5820417396284051";
  std::string logonExtra;  // "tag=value|..." appended to the logon response
  std::string reply = "reply|{request}";
  double rate = 10;  // feed messages per second; 0: as fast as the client reads
  int messageSize = 64;
  int64_t count = -1;  // feed messages per client; -1: no end
  int batch = 1;       // feed messages per response
  FeedStart feedStart = FeedStart::kLogon;
  bool feedLogon = false;  // the feed's first response is the logon response
  int fixedKeyResponses = 1;
  int firstDelayMs = -1;  // -1: 100 for the encrypted framings, else 0
  bool refuseInteractive = false;
  bool refuseBroadcast = false;
  int64_t closeAfterBytes = -1;  // -1: never
  int delayMs = 0;
  bool faultsInteractive = true;  // the port(s) that close-after-bytes and delay apply to
  bool faultsBroadcast = true;
  // Drops (see above); none when the list is empty or neither trigger is set.
  std::vector<Drop> drops;
  int64_t dropEvery = 0;        // messages given to a client before its drop; 0: no limit
  int dropIntervalMs = 0;       // time a client is served before its drop; 0: no limit
  bool dropInteractive = true;  // the port(s) whose clients are dropped
  bool dropBroadcast = true;
  int dropLimit = 0;              // drops per port at most; 0: no limit
  int restartPauseMs = 500;       // how long a restarted port refuses connections
  bool continueSequence = false;  // feed numbers run on across clients
  // Only the first client of a port gets responses under the fixed key; later
  // ones (a component reconnecting, which holds the session key by then) get
  // the session key throughout.
  bool fixedKeyFirstClientOnly = false;
  int writeMax = 0;  // each write at most a pseudo-random 1..N bytes; 0: no limit
  uint64_t seed = 1;
  // Both ports serve TLS when given: a PEM certificate chain and its key.
  std::string tlsCertificate;
  std::string tlsKey;
};

// One drop as the back end made it.
struct DropRecord {
  LinkId port = LinkId::Interactive;  // the port whose client was dropped
  Drop kind = Drop::kClose;
  // Broadcast: the number of the last feed message written before the drop
  // (-1: none yet). Interactive: the answers written to that client.
  int64_t lastWritten = -1;
  int64_t steadyNanos = 0;  // when (steady clock)
};

struct BackendStats {
  int64_t interactiveClients = 0;
  int64_t broadcastClients = 0;
  int64_t requests = 0;
  int64_t logonResponses = 0;
  int64_t replies = 0;
  int64_t feedMessages = 0;
  int64_t interactiveBytes = 0;
  int64_t broadcastBytes = 0;
  int64_t drops = 0;
};

// The logon response text the options give.
std::string LogonResponseText(const BackendOptions& options);
// True for the codes that log the component on.
bool IsSuccessLogonCode(const std::string& code);
// One synthetic feed message of at least `size` bytes (exactly `size` when the
// record's fixed part is shorter).
std::string FeedMessage(int64_t sequence, int size, int64_t steadyNanos);

class SandboxBackend {
 public:
  explicit SandboxBackend(BackendOptions options);
  ~SandboxBackend();
  SandboxBackend(const SandboxBackend&) = delete;
  SandboxBackend& operator=(const SandboxBackend&) = delete;

  // Binds both ports and starts serving. False with *error set on failure.
  bool Start(std::string* error);
  // Idempotent; returns when both threads have ended and the ports are closed.
  void Stop();

  int InteractivePort() const { return m_interactivePort; }
  int BroadcastPort() const { return m_broadcastPort; }
  BackendStats Stats() const;
  // Every drop so far, in the order made.
  std::vector<DropRecord> Drops() const;

 private:
  struct Counters {
    std::atomic<int64_t> interactiveClients{0}, broadcastClients{0}, requests{0}, logonResponses{0},
        replies{0}, feedMessages{0}, interactiveBytes{0}, broadcastBytes{0};
  };

  void LogDrop(const DropRecord& record);
  void ServeInteractive();
  void ServeBroadcast();
  int FirstDelayMs(Framing framing) const;
  int FixedKeyResponses(int64_t clientsBefore) const;

  BackendOptions m_options;
  std::shared_ptr<backend_io::ServerTlsContext> m_tls;  // null: plain
  int m_interactiveFd = -1;
  int m_broadcastFd = -1;
  int m_interactivePort = 0;
  int m_broadcastPort = 0;
  std::atomic<bool> m_stop{false};
  // Steady-clock nanoseconds from which the logon-started feed may run; 0: not yet.
  std::atomic<int64_t> m_feedReleaseNanos{0};
  Counters m_counters;
  mutable std::mutex m_dropsMutex;
  std::vector<DropRecord> m_drops;
  std::thread m_interactiveThread;
  std::thread m_broadcastThread;
};

}  // namespace corvane::tools
