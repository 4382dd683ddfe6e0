// `corvane bridge`: see command.h.
#include "tools/bridge/command.h"

#include <signal.h>

#include <cstdio>
#include <iostream>

#include "tools/bridge/server.h"

namespace corvane::bridge {

BridgeCommand::BridgeCommand(CLI::App& app)
    : m_command(app.add_subcommand(
          "bridge", "Serve the component to pages over a loopback WebSocket (corvane.js)")) {
  m_command->add_option("--config", m_configFile,
                        "Read the options not given here from this file (TOML or INI: "
                        "allow-origin = [\"http://127.0.0.1:8080\"])");
  AddOptions(*m_command, m_config, m_servers);
}

void BridgeCommand::AddOptions(CLI::App& c, BridgeConfig& config,
                               std::vector<std::string>& servers) {
  c.add_option("--port", config.port, "Port on 127.0.0.1 and [::1] (0: a free one)")
      ->capture_default_str();
  c.add_option("--allow-origin", config.allowedOrigins,
               "A page origin allowed to connect, e.g. http://127.0.0.1:8080 (repeatable; "
               "no wildcard)");
  c.add_option("--allow-server", servers,
               "A server HOST:PORT the component may connect to (repeatable)");
  c.add_option("--max-frame-bytes", config.maxFrameBytes,
               "Largest message from a page; above it the connection closes with 1009")
      ->check(CLI::Range(size_t{64}, size_t{16} << 20))
      ->capture_default_str();
  c.add_option("--max-messages-per-second", config.maxMessagesPerSecond,
               "Messages a page may send per second (a second's worth at once); above it the "
               "connection closes with 1008 (0: no limit)")
      ->capture_default_str();
  c.add_option("--max-connections", config.maxConnections,
               "Pages connected at once; further handshakes are answered 503")
      ->check(CLI::Range(1u, 1024u))
      ->capture_default_str();
  c.add_option("--write-queue-bytes", config.writeQueueBytes,
               "Bytes queued for a page above which its component's events are held back")
      ->check(CLI::Range(size_t{1024}, size_t{1} << 30))
      ->capture_default_str();
}

bool BridgeCommand::ReadConfigFile() {
  CLI::App file;
  BridgeConfig fromFile;
  std::vector<std::string> servers;
  AddOptions(file, fromFile, servers);
  file.set_config("--config", m_configFile, "", true);
  try {
    file.parse(std::vector<std::string>{});
  } catch (const CLI::Error& e) {
    std::cerr << "corvane bridge: " << m_configFile << ": " << e.what() << "\n";
    return false;
  }
  const auto given = [this](const char* name) { return m_command->count(name) > 0; };
  if (!given("--port")) m_config.port = fromFile.port;
  if (!given("--allow-origin")) m_config.allowedOrigins = fromFile.allowedOrigins;
  if (!given("--allow-server")) m_servers = servers;
  if (!given("--max-frame-bytes")) m_config.maxFrameBytes = fromFile.maxFrameBytes;
  if (!given("--max-messages-per-second"))
    m_config.maxMessagesPerSecond = fromFile.maxMessagesPerSecond;
  if (!given("--max-connections")) m_config.maxConnections = fromFile.maxConnections;
  if (!given("--write-queue-bytes")) m_config.writeQueueBytes = fromFile.writeQueueBytes;
  return true;
}

int BridgeCommand::Run() {
  if (!m_configFile.empty() && !ReadConfigFile()) return 2;
  for (const std::string& text : m_servers) {
    const auto server = ParseServerAddress(text);
    if (!server) {
      std::cerr << "corvane bridge: --allow-server wants HOST:PORT, not " << text << "\n";
      return 2;
    }
    m_config.allowedServers.push_back(*server);
  }
  for (const std::string& origin : m_config.allowedOrigins) {
    if (!NormaliseOrigin(origin)) {
      std::cerr << "corvane bridge: --allow-origin wants SCHEME://HOST[:PORT], not " << origin
                << "\n";
      return 2;
    }
  }
  if (m_config.allowedOrigins.empty())
    std::cerr << "corvane bridge: no --allow-origin: every page will be refused\n";

  // The signals are taken by this thread alone (the server's threads inherit
  // the mask), so stopping is an ordinary return.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  BridgeServer server(m_config, [](const std::string& line) {
    std::cerr << "corvane bridge: " << line << std::endl;
  });
  std::string error;
  if (!server.Start(&error)) {
    std::cerr << "corvane bridge: cannot listen on " << error << "\n";
    return 1;
  }
  std::printf("listening %u\n", static_cast<unsigned>(server.Port()));
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  server.Stop();
  return 0;
}

}  // namespace corvane::bridge
