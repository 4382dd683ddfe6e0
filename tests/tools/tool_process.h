// Running the built tools from tests: paths under the build tree, a shell
// command's standard output and exit status.
#pragma once

#if !defined(_WIN32)

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace corvane::tools::testing {

inline std::string ToolPath(const std::string& relative) {
  return std::string(CORVANE_BINARY_DIR) + "/tools/" + relative;
}

struct ProcessResult {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
};

// Runs a shell command line (bounded by `timeout` so no test can hang on it).
inline ProcessResult RunCommand(const std::string& command, int timeoutSeconds = 60) {
  ProcessResult r;
  const std::string line = "timeout " + std::to_string(timeoutSeconds) + " " + command;
  FILE* pipe = ::popen(line.c_str(), "r");
  if (pipe == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) r.out.append(buf, n);
  const int status = ::pclose(pipe);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

}  // namespace corvane::tools::testing

#endif  // !_WIN32
