#include "receive/proxy_answer.h"

#include <algorithm>
#include <cctype>

#include "protocol/wire.h"

namespace corvane {

void ProxyAnswer::Reset() {
  m_header.clear();
  m_state = State::NeedMore;
}

size_t ProxyAnswer::Feed(std::string_view bytes) {
  if (m_state != State::NeedMore) return 0;
  constexpr std::string_view kStart = "HTTP/";
  size_t taken = 0;
  while (taken < bytes.size()) {
    const char c = bytes[taken];
    // An answer starts with "HTTP/": anything else is the server's own bytes.
    if (m_httpOnly && m_header.size() < kStart.size() && c != kStart[m_header.size()]) {
      m_state = State::Malformed;
      return 0;
    }
    m_header += c;
    ++taken;
    if (m_header.size() >= wire::kHeaderEnd.size() &&
        std::string_view(m_header).substr(m_header.size() - wire::kHeaderEnd.size()) ==
            wire::kHeaderEnd) {
      m_state = State::Complete;
      return taken;
    }
    if (m_header.size() >= kMaxHeader) {
      m_state = State::Malformed;
      return 0;
    }
  }
  return taken;
}

std::string_view ProxyAnswer::StatusLine() const {
  const std::string_view header(m_header);
  return header.substr(0, header.find(wire::kCrLf));
}

int ProxyAnswer::StatusCode() const {
  const std::string_view line = StatusLine();
  const size_t space = line.find(' ');
  if (line.substr(0, 5) != "HTTP/" || space == std::string_view::npos || line.size() < space + 4)
    return -1;
  int code = 0;
  for (size_t i = space + 1; i < space + 4; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    code = code * 10 + (line[i] - '0');
  }
  if (line.size() > space + 4 && line[space + 4] != ' ') return -1;
  return code;
}

int64_t ProxyAnswer::ContentLength() const {
  std::string_view header(m_header);
  size_t pos = 0;
  while ((pos = header.find(wire::kCrLf, pos)) != std::string_view::npos) {
    pos += wire::kCrLf.size();
    std::string_view line = header.substr(pos, header.find(wire::kCrLf, pos) - pos);
    constexpr std::string_view kName = "content-length:";
    if (line.size() < kName.size()) continue;
    if (!std::equal(kName.begin(), kName.end(), line.begin(), [](char a, char b) {
          return a == std::tolower(static_cast<unsigned char>(b));
        }))
      continue;
    line.remove_prefix(kName.size());
    while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
    int64_t value = 0;
    size_t digits = 0;
    for (; digits < line.size() && digits < 18 && line[digits] >= '0' && line[digits] <= '9';
         ++digits)
      value = value * 10 + (line[digits] - '0');
    return digits == 0 ? -1 : value;
  }
  return -1;
}

bool ProxyAnswer::SaysEstablished() const {
  return m_header.find("stablished") != std::string::npos;
}

}  // namespace corvane
