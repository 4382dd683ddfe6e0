// `corvane bridge`: see command.h.
#include "tools/bridge/command.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <iostream>
#include <thread>

#include "tools/bridge/server.h"

namespace corvane::bridge {

BridgeCommand::BridgeCommand(CLI::App& app)
    : m_command(app.add_subcommand(
          "bridge", "Serve the component to pages over a loopback WebSocket (corvane.js)")) {
  m_command->add_option("--config", m_configFile,
                        "Read the options not given here from this file (TOML or INI: "
                        "allow-origin = [\"http://127.0.0.1:8080\"])");
  AddOptions(*m_command, m_config, m_servers);
  m_command->add_flag("--stop-on-stdin-eof", m_stopOnStdinEof,
                      "Also stop when standard input ends (for a parent process that holds a "
                      "pipe to it)");
}

namespace {

#if defined(_WIN32)
// Set by Ctrl+C, Ctrl+Break, the console closing, logoff or shutdown, and by
// the end of standard input when asked.
HANDLE g_stop = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD) {
  SetEvent(g_stop);
  return TRUE;  // handled: the bridge stops by itself
}

void RequestStop() { SetEvent(g_stop); }
#else
void RequestStop() { ::kill(::getpid(), SIGTERM); }
#endif

// Reads standard input to its end, then asks the bridge to stop. The thread
// is left running at exit: it may still be blocked in its read.
void StopAtEndOfInput() {
  std::thread([] {
    char buffer[256];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) {
    }
    RequestStop();
  }).detach();
}

}  // namespace

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
  c.add_option("--tls-server", config.tlsServers,
               "A server always reached over TLS whatever the page sets: HOST, HOST:PORT or "
               "*.DOMAIN (repeatable)");
  c.add_flag("--refuse-plain", config.refusePlain, "Refuse every connection not made over TLS");
}

bool BridgeCommand::ReadConfigFile() {
  CLI::App file;
  BridgeConfig fromFile;
  std::vector<std::string> servers;
  AddOptions(file, fromFile, servers);
  file.set_config("--config", m_configFile, "", true);
  // A misspelt name is an error, not a setting silently left at its default.
  file.allow_config_extras(false);
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
  if (!given("--tls-server")) m_config.tlsServers = fromFile.tlsServers;
  if (!given("--refuse-plain")) m_config.refusePlain = fromFile.refusePlain;
  return true;
}

bool BridgeCommand::Configure() {
  if (!m_configFile.empty() && !ReadConfigFile()) return false;
  m_config.allowedServers.clear();
  for (const std::string& text : m_servers) {
    const auto server = ParseServerAddress(text);
    if (!server) {
      std::cerr << "corvane bridge: --allow-server wants HOST:PORT, not " << text << "\n";
      return false;
    }
    m_config.allowedServers.push_back(*server);
  }
  for (const std::string& origin : m_config.allowedOrigins) {
    if (!NormaliseOrigin(origin)) {
      std::cerr << "corvane bridge: --allow-origin wants SCHEME://HOST[:PORT], not " << origin
                << "\n";
      return false;
    }
  }
  if (m_config.allowedOrigins.empty())
    std::cerr << "corvane bridge: no --allow-origin: every page will be refused\n";
  return true;
}

int BridgeCommand::Run() {
  if (!Configure()) return 2;

#if defined(_WIN32)
  g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // Without a console (corvane-bridge.exe) there is nothing to watch: the
  // bridge ends with the user's session.
  if (!g_stop || (!SetConsoleCtrlHandler(OnConsoleEvent, TRUE) && GetConsoleWindow() != nullptr)) {
    std::cerr << "corvane bridge: cannot watch for Ctrl+C\n";
    return 1;
  }
#else
  // The signals are taken by this thread alone (the server's threads inherit
  // the mask), so stopping is an ordinary return.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
#endif

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
  if (m_stopOnStdinEof) StopAtEndOfInput();
#if defined(_WIN32)
  WaitForSingleObject(g_stop, INFINITE);
#else
  int signal = 0;
  sigwait(&signals, &signal);
#endif
  server.Stop();
  return 0;
}

}  // namespace corvane::bridge
