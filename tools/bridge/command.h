// `corvane bridge`: the command line (and configuration file) of the bridge.
//
//   corvane bridge --allow-origin http://127.0.0.1:8080 --allow-server 10.0.0.5:9001 ...
//   corvane bridge --config bridge.ini
//
// A configuration file (TOML or INI, "name = value" with the options' long
// names; lists as ["a", "b"]) gives the values that the command line does not.
//
// Prints "listening PORT" on standard output once listening, log lines on
// standard error, and runs until SIGINT or SIGTERM (Windows: Ctrl+C,
// Ctrl+Break or the console closing), or with --stop-on-stdin-eof until its
// standard input ends; every page's connection is then closed with 1001
// (going away).
#pragma once

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "tools/bridge/config.h"

namespace corvane::bridge {

class BridgeCommand {
 public:
  // Adds the "bridge" subcommand to app.
  explicit BridgeCommand(CLI::App& app);
  bool Parsed() const { return m_command->parsed(); }
  // After parsing: the settings from the command line and the configuration
  // file, checked; false (with the message on standard error) for a file
  // that cannot be read or a malformed server or origin.
  bool Configure();
  const BridgeConfig& Config() const { return m_config; }
  // Configures and serves. The exit status: 0 once stopped, 1 when it cannot
  // listen, 2 for a bad configuration.
  int Run();

 private:
  // The options, bound to config and servers (the allowed servers as given).
  static void AddOptions(CLI::App& app, BridgeConfig& config, std::vector<std::string>& servers);
  // Values of the configuration file for the options not on the command line.
  bool ReadConfigFile();

  CLI::App* m_command;
  BridgeConfig m_config;
  std::vector<std::string> m_servers;
  std::string m_configFile;
  bool m_stopOnStdinEof = false;
};

}  // namespace corvane::bridge
