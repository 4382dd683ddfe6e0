// corvane: command-line face of the component.
//
//   corvane replay  [--compression on|off] [--encryption on|off]
//                   [--connection interactive|broadcast] [--chunks N[,N...]]
//                   [--proxy] [--proxy-credentials] [--multi] FILE
//   corvane replay  --capture DIR [--connection interactive|broadcast|both]
//   corvane session --server HOST:PORT [--broadcast HOST:PORT] [--multi]
//                   [--capture DIR] ...
//
// The work is in tools/common (replay.h, session.h), shared with the tests;
// this file only reads the command line. On Windows the tool is `corvane
// bridge` alone (replay and session use the POSIX back end's code).
#include <CLI/CLI.hpp>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>

#if !defined(_WIN32)
#include "tools/common/replay.h"
#include "tools/common/session.h"
#endif
#if defined(CORVANE_HAVE_BRIDGE)
#include "tools/bridge/command.h"
#endif

#if !defined(_WIN32)
namespace {

const std::map<std::string, bool> kOnOff = {{"on", true}, {"off", false}};

bool ReadAll(const std::string& path, std::string* bytes) {
  if (path == "-") {
    std::ostringstream s;
    s << std::cin.rdbuf();
    *bytes = s.str();
    return !std::cin.bad();
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

}  // namespace
#endif

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  CLI::App app{"Corvane component tools"};
  app.require_subcommand(1);
#if !defined(_WIN32)

  // ---- replay ----
  CLI::App* replay =
      app.add_subcommand("replay", "Replay a captured server byte stream through a component");
  corvane::tools::ReplayOptions r;
  std::string rCompression = "on", rEncryption = "on", connection, file, captureIn;
  replay->add_option("--compression", rCompression)
      ->check(CLI::IsMember(kOnOff))
      ->capture_default_str();
  replay->add_option("--encryption", rEncryption)
      ->check(CLI::IsMember(kOnOff))
      ->capture_default_str();
  replay
      ->add_option("--connection", connection,
                   "Connection the stream was read on (default interactive; with --capture the "
                   "connections replayed, default both)")
      ->check(CLI::IsMember({"interactive", "broadcast", "both"}));
  replay->add_option("--chunks", r.chunks, "Chunk sizes, the last one repeating (1 to 32768)")
      ->delimiter(',')
      ->allow_extra_args(false)
      ->check(CLI::Range(1, 32768));
  replay->add_flag("--proxy", r.proxy,
                   "Proxy discovery found a proxy (with --proxy-credentials the capture starts "
                   "with the proxy's answer)");
  replay->add_flag("--proxy-credentials", r.proxyCredentials, "Proxy credentials are stored");
  replay->add_flag("--multi", r.multi, "setMultiOC with true");
  CLI::Option* fileOpt = replay->add_option("FILE", file, "Captured stream (- for standard input)");
  CLI::Option* captureInOpt = replay->add_option(
      "--capture", captureIn, "A capture directory written by `corvane session --capture`");
  captureInOpt->excludes(fileOpt);
  for (const char* setUp :
       {"--compression", "--encryption", "--chunks", "--proxy", "--proxy-credentials", "--multi"})
    captureInOpt->excludes(replay->get_option(setUp));

  // ---- session ----
  CLI::App* session = app.add_subcommand("session", "Drive one component against real servers");
  corvane::tools::SessionOptions s;
  std::string server, broadcast, sCompression = "on", sEncryption = "on", user, password;
  int keepAlive = -1;
  session->add_option("--server", server, "Interactive server HOST:PORT")->required();
  session->add_option("--broadcast", broadcast, "Broadcast server HOST:PORT (uses setOCDetails)");
  session->add_flag("--multi", s.multi, "setMultiOC with true (the broadcast connection is used)");
  session->add_option("--compression", sCompression)
      ->check(CLI::IsMember(kOnOff))
      ->capture_default_str();
  session->add_option("--encryption", sEncryption)
      ->check(CLI::IsMember(kOnOff))
      ->capture_default_str();
  session->add_option("--reconnect-count", s.reconnectCount, "Further attempts after a failure")
      ->capture_default_str();
  CLI::Option* userOpt = session->add_option("--proxy-user", user, "Proxy user id");
  CLI::Option* passwordOpt = session->add_option("--proxy-password", password, "Proxy password");
  userOpt->needs(passwordOpt);
  passwordOpt->needs(userOpt);
  session->add_flag("--tls", s.tls,
                    "Both connections over TLS, verified against the system's trust store");
  session
      ->add_option("--pin", s.pins,
                   "sha256/BASE64 of a public key the server's chain must have (repeatable)")
      ->needs("--tls");
  session->add_option("--send", s.sends, "A request to send (repeatable, in order)");
  session->add_option("--send-interval", s.sendIntervalMs, "Pause before each send, in ms")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  session->add_option("--keep-alive", keepAlive, "Keep-alive interval in ms (starts keep-alive)")
      ->check(CLI::NonNegativeNumber);
  session->add_option("--duration", s.durationMs, "How long to run after connecting, in ms")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  session
      ->add_option("--until-data", s.untilData,
                   "End once this many data events have arrived (--duration still limits the run)")
      ->check(CLI::PositiveNumber);
  CLI::Option* conflateOpt =
      session
          ->add_option("--conflate", s.conflationTag,
                       "Conflate the feed on this tag (55: the instrument) for a slow reader: "
                       "a message replaces its key's one still waiting")
          ->check(CLI::Range(1, 999999999));
  session
      ->add_option("--conflate-interval", s.conflationIntervalMs,
                   "With --conflate, at most one message per key in this many ms")
      ->check(CLI::Range(0, 3600000))
      ->needs(conflateOpt);
  session->add_option("--capture", s.captureDirectory,
                      "Write every connection's reads to this directory, for replay --capture");
#endif

#if defined(CORVANE_HAVE_BRIDGE)
  corvane::bridge::BridgeCommand bridge(app);  // `corvane bridge` (tools/bridge)
#endif
  CLI11_PARSE(app, argc, argv);
#if defined(CORVANE_HAVE_BRIDGE)
  if (bridge.Parsed()) return bridge.Run();
#endif
#if defined(_WIN32)
  return 2;  // unreachable: the one subcommand is required
#else

  if (replay->parsed() && captureInOpt->count() > 0) {
    corvane::tools::Capture capture;
    std::string error;
    if (!corvane::tools::ReadCapture(captureIn, &capture, &error)) {
      std::cerr << "corvane replay: " << error << "\n";
      return 1;
    }
    std::optional<corvane::LinkId> which;
    for (corvane::LinkId id : corvane::kLinkIds) {
      if (connection == corvane::LinkName(id)) which = id;
    }
    return corvane::tools::ReplayCapture(capture, which, std::cout, std::cerr);
  }
  if (replay->parsed()) {
    if (fileOpt->count() == 0) {
      std::cerr << "corvane replay: a FILE or --capture DIR is needed\n";
      return 2;
    }
    if (connection == "both") {
      std::cerr << "corvane replay: --connection both needs --capture\n";
      return 2;
    }
    r.compression = kOnOff.at(rCompression);
    r.encryption = kOnOff.at(rEncryption);
    for (corvane::LinkId id : corvane::kLinkIds) {
      if (connection == corvane::LinkName(id)) r.link = id;
    }
    std::string bytes;
    if (!ReadAll(file, &bytes)) {
      std::cerr << "corvane replay: cannot read " << file << "\n";
      return 1;
    }
    return corvane::tools::Replay(r, bytes, std::cout, std::cerr);
  }

  auto endpoint = corvane::tools::ParseEndpoint(server);
  if (!endpoint) {
    std::cerr << "corvane session: --server wants HOST:PORT, not " << server << "\n";
    return 2;
  }
  s.server = *endpoint;
  if (!broadcast.empty()) {
    s.broadcast = corvane::tools::ParseEndpoint(broadcast);
    if (!s.broadcast) {
      std::cerr << "corvane session: --broadcast wants HOST:PORT, not " << broadcast << "\n";
      return 2;
    }
  }
  s.compression = kOnOff.at(sCompression);
  s.encryption = kOnOff.at(sEncryption);
  if (userOpt->count() > 0) {
    s.proxyUser = user;
    s.proxyPassword = password;
  }
  if (keepAlive >= 0) s.keepAliveMs = keepAlive;
  return corvane::tools::RunSession(s, std::cout, std::cerr);
#endif
}
