// tinyproxy from the system as the proxy peer of the component suites: on a
// free loopback port, with Basic authentication, a generated configuration
// and, when asked, a filter that refuses every host matching a pattern (it
// answers such a CONNECT with 403).
#pragma once

#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "platform/socket.h"
#include "tests/platform/loopback_server.h"

extern char** environ;

namespace corvane::test {

class Tinyproxy {
 public:
  static constexpr const char* kBinary = "/usr/bin/tinyproxy";

  // filter: a pattern (tinyproxy's regular expression) of refused hosts;
  // empty for none.
  Tinyproxy(const std::string& user, const std::string& password, const std::string& filter = "") {
    m_port = RefusedPort();
    char dir[] = "/tmp/corvane-tinyproxy-XXXXXX";
    if (mkdtemp(dir) == nullptr) return;
    m_dir = dir;
    chmod(dir, 0777);  // the proxy may write its log as another user
    const std::string config = m_dir + "/tinyproxy.conf";
    {
      std::ofstream out(config);
      out << "Port " << m_port << "\n"
          << "Listen 127.0.0.1\n"
          << "Timeout 30\n"
          << "MaxClients 16\n"
          << "Allow 127.0.0.1\n"
          << "BasicAuth " << user << " " << password << "\n"
          << "LogLevel Critical\n"
          << "LogFile \"" << m_dir << "/tinyproxy.log\"\n";
      if (!filter.empty()) {
        std::ofstream(m_dir + "/filter") << filter << "\n";
        out << "Filter \"" << m_dir << "/filter\"\n";
      }
      if (geteuid() == 0) out << "User nobody\nGroup nogroup\n";
    }
    std::string binary = kBinary;
    std::string foreground = "-d";
    std::string configFlag = "-c";
    char* argv[] = {binary.data(), foreground.data(), configFlag.data(),
                    const_cast<char*>(config.c_str()), nullptr};
    if (posix_spawn(&m_pid, kBinary, nullptr, nullptr, argv, environ) != 0) m_pid = 0;
  }

  ~Tinyproxy() {
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      int status = 0;
      waitpid(m_pid, &status, 0);
    }
    if (!m_dir.empty()) {
      std::remove((m_dir + "/tinyproxy.conf").c_str());
      std::remove((m_dir + "/tinyproxy.log").c_str());
      std::remove((m_dir + "/filter").c_str());
      rmdir(m_dir.c_str());
    }
  }
  Tinyproxy(const Tinyproxy&) = delete;
  Tinyproxy& operator=(const Tinyproxy&) = delete;

  // Waits (bounded) until the proxy accepts connections.
  bool Ready() {
    if (m_pid <= 0) return false;
    return WaitUntil([&] {
      SocketHandle s = net::CreateTcpSocket();
      bool ok = net::Connect(s, "127.0.0.1", m_port);
      net::Close(s);
      return ok;
    });
  }

  int32_t Port() const { return m_port; }

 private:
  pid_t m_pid = 0;
  int32_t m_port = 0;
  std::string m_dir;
};

class TinyproxyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(Tinyproxy::kBinary, X_OK) != 0) GTEST_SKIP() << "tinyproxy is not installed";
  }
};

}  // namespace corvane::test
#endif
