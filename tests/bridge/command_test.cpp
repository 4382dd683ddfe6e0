// `corvane bridge`'s settings from its command line and its configuration
// file, as CLI11 reads them: what each source gives, which one wins, and the
// refusals.
#include "tools/bridge/command.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace corvane::bridge {
namespace {

// A configuration file in the test's temporary folder, removed afterwards.
class ConfigFile {
 public:
  explicit ConfigFile(const std::string& text) {
    m_path = (std::filesystem::temp_directory_path() /
              ("corvane-bridge-" + std::to_string(++s_count) + ".toml"))
                 .string();
    std::ofstream(m_path, std::ios::binary) << text;
  }
  ~ConfigFile() { std::remove(m_path.c_str()); }
  const std::string& Path() const { return m_path; }

 private:
  static inline int s_count = 0;
  std::string m_path;
};

// Parses "corvane bridge ARGS..." and configures; nullopt when refused.
std::optional<BridgeConfig> Configure(std::vector<std::string> args) {
  CLI::App app;
  BridgeCommand command(app);
  args.insert(args.begin(), "bridge");
  std::vector<std::string> reversed(args.rbegin(), args.rend());  // CLI11 takes them reversed
  try {
    app.parse(reversed);
  } catch (const CLI::Error&) {
    return std::nullopt;
  }
  if (!command.Parsed() || !command.Configure()) return std::nullopt;
  return command.Config();
}

TEST(BridgeCommand, TheFileGivesWhatTheCommandLineDoesNot) {
  const ConfigFile file(
      "port = 9100\n"
      "allow-origin = [\"http://127.0.0.1:8080\", \"https://app.example\"]\n"
      "allow-server = [\"10.0.0.5:9001\", \"[::1]:9002\"]\n"
      "max-frame-bytes = 4096\n"
      "max-messages-per-second = 20\n"
      "max-connections = 3\n"
      "write-queue-bytes = 65536\n");

  const auto fromFile = Configure({"--config", file.Path()});
  ASSERT_TRUE(fromFile);
  EXPECT_EQ(fromFile->port, 9100);
  EXPECT_EQ(fromFile->allowedOrigins,
            (std::vector<std::string>{"http://127.0.0.1:8080", "https://app.example"}));
  EXPECT_EQ(fromFile->allowedServers,
            (std::vector<ServerAddress>{{"10.0.0.5", 9001}, {"::1", 9002}}));
  EXPECT_EQ(fromFile->maxFrameBytes, 4096u);
  EXPECT_EQ(fromFile->maxMessagesPerSecond, 20u);
  EXPECT_EQ(fromFile->maxConnections, 3u);
  EXPECT_EQ(fromFile->writeQueueBytes, 65536u);

  // The command line wins for what it gives, a list as a whole.
  const auto both = Configure({"--config", file.Path(), "--port", "0", "--allow-server",
                               "127.0.0.1:7000", "--max-connections", "1"});
  ASSERT_TRUE(both);
  EXPECT_EQ(both->port, 0);
  EXPECT_EQ(both->allowedServers, (std::vector<ServerAddress>{{"127.0.0.1", 7000}}));
  EXPECT_EQ(both->maxConnections, 1u);
  EXPECT_EQ(both->allowedOrigins, fromFile->allowedOrigins);
  EXPECT_EQ(both->maxFrameBytes, 4096u);

  // No file: the defaults.
  const auto defaults = Configure({"--allow-origin", "http://localhost:3000"});
  ASSERT_TRUE(defaults);
  EXPECT_EQ(defaults->port, BridgeConfig{}.port);
  EXPECT_TRUE(defaults->allowedServers.empty());
  EXPECT_EQ(defaults->maxFrameBytes, BridgeConfig{}.maxFrameBytes);
}

TEST(BridgeCommand, Refusals) {
  const ConfigFile badServer("allow-server = [\"10.0.0.5\"]\n");
  const ConfigFile badOrigin("allow-origin = [\"http://127.0.0.1:8080/page\"]\n");
  const ConfigFile badLimit("max-frame-bytes = 1\n");
  const ConfigFile unknown("listen = 1\n");
  const struct {
    const char* what;
    std::vector<std::string> args;
  } cases[] = {
      {"no such file", {"--config", "/nonexistent/corvane-bridge.toml"}},
      {"server without a port in the file", {"--config", badServer.Path()}},
      {"origin with a path in the file", {"--config", badOrigin.Path()}},
      {"limit out of range in the file", {"--config", badLimit.Path()}},
      {"unknown name in the file", {"--config", unknown.Path()}},
      {"server without a port", {"--allow-server", "10.0.0.5"}},
      {"wildcard origin", {"--allow-origin", "*"}},
      {"limit out of range", {"--max-connections", "0"}},
  };
  for (const auto& c : cases) EXPECT_FALSE(Configure(c.args)) << c.what;
}

}  // namespace
}  // namespace corvane::bridge
