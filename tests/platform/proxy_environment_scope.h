// Sets exactly the given proxy variables of the environment for one test and
// restores them afterwards (POSIX).
#pragma once

#ifndef _WIN32

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

namespace corvane::test {

inline const char* const kProxyVariables[] = {"http_proxy", "HTTP_PROXY", "all_proxy",
                                              "ALL_PROXY",  "no_proxy",   "NO_PROXY"};

// Sets exactly the given proxy variables for one test and restores the
// environment afterwards.
class ProxyEnvironment {
 public:
  explicit ProxyEnvironment(const std::map<std::string, std::string>& values) {
    for (const char* name : kProxyVariables) {
      const char* old = std::getenv(name);
      m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
      unsetenv(name);
    }
    for (const auto& [name, value] : values) setenv(name.c_str(), value.c_str(), 1);
  }
  ~ProxyEnvironment() {
    for (const auto& [name, value] : m_saved) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> m_saved;
};

}  // namespace corvane::test

#endif  // _WIN32
