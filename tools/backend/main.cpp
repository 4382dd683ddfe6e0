// corvane-backend: the sandbox back end on loopback (see tools/common/backend.h).
//
// Prints "interactive PORT" and "broadcast PORT" on standard output once both
// ports are bound (port 0 picks a free one), then serves until SIGINT or
// SIGTERM, or until --duration-ms has passed, and prints its counters on
// standard error. SIGINT and SIGTERM are blocked in every thread and taken by
// the main thread with sigtimedwait, so shutdown is an ordinary return.
// With drops asked for, each drop is also printed on standard error at the
// end, one line each: "drop interactive|broadcast close|reset|restart
// LAST-WRITTEN" (see DropRecord).
#include <signal.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "tools/common/backend.h"

using corvane::tools::BackendOptions;
using corvane::tools::Framing;

int main(int argc, char** argv) {
  CLI::App app{"Sandbox back end: answers the component's requests and streams a market feed"};
  BackendOptions o;
  std::string framing = "plain", interactiveFraming = "plain", feedStart = "logon",
              faultPort = "both", dropPort = "both";
  std::vector<std::string> drops;
  bool refuse = false;
  int64_t durationMs = 0;
  const std::map<std::string, Framing> framings = {
      {"plain", Framing::kPlain},
      {"compressed", Framing::kCompressed},
      {"encrypted", Framing::kEncrypted},
      {"compressed-encrypted", Framing::kCompressedEncrypted}};

  app.add_option("--host", o.host, "Dotted IPv4 address to bind")->capture_default_str();
  app.add_option("--interactive-port", o.interactivePort, "Interactive port (0: a free one)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--broadcast-port", o.broadcastPort, "Broadcast port (0: a free one)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--framing", framing, "Broadcast framing")
      ->check(CLI::IsMember(framings))
      ->capture_default_str();
  app.add_option("--interactive-framing", interactiveFraming,
                 "Interactive framing (the component reads plain after its first sendRequest)")
      ->check(CLI::IsMember(framings))
      ->capture_default_str();
  app.add_option("--logon-code", o.logonCode, "Code (tag 70) of the logon response")
      ->capture_default_str();
  app.add_option("--session-key", o.sessionKey, "Session key (tag 394); encrypts after the first")
      ->capture_default_str();
  app.add_option("--logon-extra", o.logonExtra, "More tag=value pairs for the logon response");
  app.add_option("--reply", o.reply, "Reply after logon; {request} is the request's message")
      ->capture_default_str();
  app.add_option("--rate", o.rate, "Feed messages per second (0: as fast as possible)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--message-size", o.messageSize, "Feed message size in bytes")
      ->check(CLI::Range(1, 90000))
      ->capture_default_str();
  app.add_option("--count", o.count, "Feed messages per client, then idle (-1: no end)")
      ->capture_default_str();
  app.add_option("--batch", o.batch, "Feed messages per response")
      ->check(CLI::Range(1, 100000))
      ->capture_default_str();
  app.add_option("--feed-start", feedStart,
                 "connect: at once; logon: 100 ms after a successful logon response")
      ->check(CLI::IsMember({"connect", "logon"}))
      ->capture_default_str();
  app.add_flag("--feed-logon", o.feedLogon, "Begin the feed with the logon response");
  app.add_option("--fixed-key-responses", o.fixedKeyResponses,
                 "Responses per client encrypted under the fixed key before the session key")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--first-delay-ms", o.firstDelayMs,
                 "Pause after a client's first response (-1: 100 for encrypted framings, else 0)")
      ->capture_default_str();
  app.add_flag("--refuse", refuse, "Refuse connections on both ports");
  app.add_flag("--refuse-interactive", o.refuseInteractive, "Refuse interactive connections");
  app.add_flag("--refuse-broadcast", o.refuseBroadcast, "Refuse broadcast connections");
  app.add_option("--close-after-bytes", o.closeAfterBytes,
                 "Close each client after sending N bytes (0: at accept; -1: never)")
      ->capture_default_str();
  app.add_option("--delay-ms", o.delayMs, "Delay before each answer and before the feed starts")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--fault-port", faultPort,
                 "Port(s) that --close-after-bytes and --delay-ms affect")
      ->check(CLI::IsMember({"interactive", "broadcast", "both"}))
      ->capture_default_str();
  app.add_option("--drop", drops,
                 "Drop clients: close, reset (RST) or restart (the port refuses for a while); "
                 "several are used in turn")
      ->delimiter(',')
      ->check(CLI::IsMember({"close", "reset", "restart"}));
  app.add_option("--drop-every", o.dropEvery,
                 "Drop a client once it has been given N messages (feed messages or answers)")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--drop-interval-ms", o.dropIntervalMs,
                 "Drop a client once it has been served this long")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--drop-port", dropPort, "Port(s) whose clients are dropped")
      ->check(CLI::IsMember({"interactive", "broadcast", "both"}))
      ->capture_default_str();
  app.add_option("--drop-limit", o.dropLimit, "Drops per port at most (0: no limit)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--restart-pause-ms", o.restartPauseMs,
                 "How long a restarted port refuses connections")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_flag("--continue-sequence", o.continueSequence,
               "Feed numbers (tag 34) and the count run on across clients");
  app.add_flag("--fixed-key-first-client-only", o.fixedKeyFirstClientOnly,
               "Later clients of a port get the session key from their first response on");
  app.add_option("--write-max", o.writeMax,
                 "Each write at most a pseudo-random 1..N bytes (0: what the socket takes)")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--seed", o.seed, "Seed of the write sizes")->capture_default_str();
  auto* tlsCert = app.add_option("--tls-cert", o.tlsCertificate,
                                 "Serve both ports over TLS with this PEM certificate chain")
                      ->check(CLI::ExistingFile);
  app.add_option("--tls-key", o.tlsKey, "The PEM private key of --tls-cert")
      ->check(CLI::ExistingFile)
      ->needs(tlsCert);
  tlsCert->needs("--tls-key");
  app.add_option("--duration-ms", durationMs, "Stop after this long (0: on a signal only)")
      ->check(CLI::NonNegativeNumber);
  CLI11_PARSE(app, argc, argv);

  o.framing = framings.at(framing);
  o.interactiveFraming = framings.at(interactiveFraming);
  o.feedStart = feedStart == "connect" ? BackendOptions::FeedStart::kConnect
                                       : BackendOptions::FeedStart::kLogon;
  o.faultsInteractive = faultPort != "broadcast";
  o.faultsBroadcast = faultPort != "interactive";
  if (refuse) o.refuseInteractive = o.refuseBroadcast = true;
  o.dropInteractive = dropPort != "broadcast";
  o.dropBroadcast = dropPort != "interactive";
  for (const std::string& d : drops)
    o.drops.push_back(d == "close"   ? corvane::tools::Drop::kClose
                      : d == "reset" ? corvane::tools::Drop::kReset
                                     : corvane::tools::Drop::kRestart);

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  corvane::tools::SandboxBackend backend(o);
  std::string error;
  if (!backend.Start(&error)) {
    std::cerr << "corvane-backend: " << error << "\n";
    return 1;
  }
  std::printf("interactive %d\nbroadcast %d\n", backend.InteractivePort(), backend.BroadcastPort());
  std::fflush(stdout);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(durationMs);
  for (;;) {
    timespec wait{0, 100 * 1000 * 1000};
    if (sigtimedwait(&signals, nullptr, &wait) > 0) break;
    if (durationMs > 0 && std::chrono::steady_clock::now() >= deadline) break;
  }
  backend.Stop();
  const corvane::tools::BackendStats s = backend.Stats();
  std::fprintf(stderr,
               "corvane-backend: %lld interactive clients, %lld broadcast clients, %lld requests, "
               "%lld logon responses, %lld replies, %lld feed messages\n",
               static_cast<long long>(s.interactiveClients),
               static_cast<long long>(s.broadcastClients), static_cast<long long>(s.requests),
               static_cast<long long>(s.logonResponses), static_cast<long long>(s.replies),
               static_cast<long long>(s.feedMessages));
  for (const corvane::tools::DropRecord& d : backend.Drops())
    std::fprintf(stderr, "drop %s %s %lld\n", std::string(corvane::LinkName(d.port)).c_str(),
                 corvane::tools::DropName(d.kind), static_cast<long long>(d.lastWritten));
  return 0;
}
