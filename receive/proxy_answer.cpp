#include "receive/proxy_answer.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "protocol/wire.h"

namespace corvane {
namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsTokenChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
         (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool IsToken68Char(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
         (c != 0 && std::strchr("-._~+/", c) != nullptr);
}

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

// Whether a comma-separated list value names item (case-insensitive).
bool ListHas(std::string_view list, std::string_view item) {
  while (!list.empty()) {
    const size_t comma = list.find(',');
    if (SameText(Trim(list.substr(0, comma)), item)) return true;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  return false;
}

// Reads one header value's challenges (RFC 9110, 11.2 and 11.6.1):
//   challenge = auth-scheme [ 1*SP ( token68 / #auth-param ) ]
// Challenges and auth-params share the commas, so after a comma a token
// followed by "=" is another parameter and any other token a new scheme.
void ReadChallenges(std::string_view v, std::vector<AuthChallenge>& out) {
  size_t i = 0;
  const size_t n = v.size();
  auto skip = [&](bool commas) {
    while (i < n && (IsSpace(v[i]) || (commas && v[i] == ','))) ++i;
  };
  auto token = [&] {
    const size_t start = i;
    while (i < n && IsTokenChar(v[i])) ++i;
    return v.substr(start, i - start);
  };
  for (;;) {
    skip(true);
    if (i >= n) return;
    const std::string_view scheme = token();
    if (scheme.empty()) return;
    AuthChallenge challenge{std::string(scheme), {}};
    skip(false);
    // token68: its characters, then any '=', then the end or a comma.
    size_t j = i;
    while (j < n && IsToken68Char(v[j])) ++j;
    size_t k = j;
    while (k < n && v[k] == '=') ++k;
    size_t after = k;
    while (after < n && IsSpace(v[after])) ++after;
    if (j > i && (after >= n || v[after] == ',')) {
      challenge.token = std::string(v.substr(i, k - i));
      i = after;
    } else {
      // auth-params up to the next scheme.
      for (;;) {
        skip(true);
        const size_t nameAt = i;
        const std::string_view name = token();
        skip(false);
        if (name.empty() || i >= n || v[i] != '=') {
          i = nameAt;  // the next challenge's scheme, if any
          break;
        }
        ++i;
        skip(false);
        if (i < n && v[i] == '"') {
          for (++i; i < n && v[i] != '"'; ++i)
            if (v[i] == '\\') ++i;
          ++i;
        } else {
          token();
        }
        skip(false);
        if (i >= n) break;
        if (v[i] != ',') return;  // not a list any more
      }
    }
    out.push_back(std::move(challenge));
  }
}

}  // namespace

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

std::vector<std::string_view> ProxyAnswer::Values(std::string_view name) const {
  std::vector<std::string_view> values;
  std::string_view header(m_header);
  size_t pos = header.find(wire::kCrLf);
  while (pos != std::string_view::npos) {
    pos += wire::kCrLf.size();
    const size_t end = header.find(wire::kCrLf, pos);
    const std::string_view line = header.substr(pos, end - pos);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos && SameText(line.substr(0, colon), name))
      values.push_back(Trim(line.substr(colon + 1)));
    pos = end;
  }
  return values;
}

std::vector<AuthChallenge> ProxyAnswer::Challenges() const {
  std::vector<AuthChallenge> out;
  for (std::string_view value : Values("proxy-authenticate")) ReadChallenges(value, out);
  return out;
}

ProxyAnswer::Body ProxyAnswer::BodyKind() const {
  const std::vector<std::string_view> codings = Values("transfer-encoding");
  if (!codings.empty()) {
    std::string_view last = codings.back();
    const size_t comma = last.rfind(',');
    if (comma != std::string_view::npos) last = last.substr(comma + 1);
    return SameText(Trim(last), "chunked") ? Body::Chunked : Body::UntilClose;
  }
  const int code = StatusCode();
  if ((code >= 100 && code < 200) || code == 204 || code == 304) return Body::Length;
  return ContentLength() >= 0 ? Body::Length : Body::UntilClose;
}

bool ProxyAnswer::KeepsConnection() const {
  if (BodyKind() == Body::UntilClose) return false;
  bool close = false;
  bool keepAlive = false;
  for (std::string_view name : {"connection", "proxy-connection"}) {
    for (std::string_view value : Values(name)) {
      close = close || ListHas(value, "close");
      keepAlive = keepAlive || ListHas(value, "keep-alive");
    }
  }
  if (close) return false;
  return StatusLine().substr(0, 8) != "HTTP/1.0" || keepAlive;
}

AnswerBody::AnswerBody(ProxyAnswer::Body kind, int64_t length) : m_kind(kind) {
  if (kind == ProxyAnswer::Body::Length) {
    m_left = std::max<int64_t>(0, length);
    if (m_left == 0) m_state = State::Complete;
  }
}

size_t AnswerBody::Wanted() const {
  if (m_state != State::NeedMore) return 0;
  if (m_kind == ProxyAnswer::Body::UntilClose) return 4096;
  if (m_kind == ProxyAnswer::Body::Length || m_part == Part::Data)
    return static_cast<size_t>(std::min<int64_t>(m_left, 4096));
  return 1;  // a chunk's size line, its CR LF, or the trailer: one byte at a time
}

void AnswerBody::End() {
  if (m_state == State::NeedMore)
    m_state = m_kind == ProxyAnswer::Body::UntilClose ? State::Complete : State::Malformed;
}

size_t AnswerBody::Feed(std::string_view bytes) {
  size_t taken = 0;
  while (taken < bytes.size() && m_state == State::NeedMore) {
    if (m_kind == ProxyAnswer::Body::UntilClose) return bytes.size();
    if (m_kind == ProxyAnswer::Body::Length || m_part == Part::Data) {
      const size_t n = static_cast<size_t>(
          std::min<int64_t>(m_left, static_cast<int64_t>(bytes.size() - taken)));
      taken += n;
      m_left -= static_cast<int64_t>(n);
      if (m_left == 0) {
        if (m_kind == ProxyAnswer::Body::Length)
          m_state = State::Complete;
        else
          m_part = Part::DataEnd;
      }
      continue;
    }
    // A line: the chunk's size (hex, then extensions), the CR LF after its
    // data, or one trailer line.
    m_line += bytes[taken++];
    if (m_line.size() > kMaxLine ||
        (m_part == Part::DataEnd && m_line != std::string_view("\r\n").substr(0, m_line.size()))) {
      m_state = State::Malformed;
      break;
    }
    if (m_line.size() < 2 || m_line.compare(m_line.size() - 2, 2, "\r\n") != 0) continue;
    const std::string line = m_line.substr(0, m_line.size() - 2);
    m_line.clear();
    switch (m_part) {
      case Part::Size: {
        int64_t size = 0;
        size_t digits = 0;
        for (; digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits]));
             ++digits) {
          if (digits == 15) break;  // past any body a 407 would send
          const char c = Lower(line[digits]);
          size = size * 16 + (c <= '9' ? c - '0' : c - 'a' + 10);
        }
        if (digits == 0 || digits == 15 ||
            (digits < line.size() && line[digits] != ';' && !IsSpace(line[digits]))) {
          m_state = State::Malformed;
          break;
        }
        m_left = size;
        m_part = size == 0 ? Part::Trailer : Part::Data;
        break;
      }
      case Part::DataEnd:
        if (!line.empty()) m_state = State::Malformed;
        m_part = Part::Size;
        break;
      case Part::Trailer:
        if (line.empty()) m_state = State::Complete;
        break;
      case Part::Data:
        break;
    }
  }
  return taken;
}

ProxyAuthScheme ChooseProxyAuth(const std::vector<AuthChallenge>& offers, bool integrated,
                                bool basicCredentials) {
  auto offered = [&](std::string_view name) {
    return std::any_of(offers.begin(), offers.end(),
                       [&](const AuthChallenge& c) { return SameText(c.scheme, name); });
  };
  if (integrated && offered("Negotiate")) return ProxyAuthScheme::Negotiate;
  if (integrated && offered("NTLM")) return ProxyAuthScheme::Ntlm;
  if (basicCredentials && offered("Basic")) return ProxyAuthScheme::Basic;
  return ProxyAuthScheme::None;
}

std::string_view ProxyAuthName(ProxyAuthScheme scheme) {
  switch (scheme) {
    case ProxyAuthScheme::Negotiate:
      return "Negotiate";
    case ProxyAuthScheme::Ntlm:
      return "NTLM";
    case ProxyAuthScheme::Basic:
      return "Basic";
    case ProxyAuthScheme::None:
      break;
  }
  return "";
}

std::string ProxyAuthToken(const std::vector<AuthChallenge>& offers, ProxyAuthScheme scheme) {
  for (const AuthChallenge& c : offers)
    if (SameText(c.scheme, ProxyAuthName(scheme))) return c.token;
  return {};
}

}  // namespace corvane
