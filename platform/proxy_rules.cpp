// Proxy selection rules over configuration texts (see proxy_rules.h).
#include "platform/proxy_rules.h"

#include <cctype>
#include <cstddef>

#include "protocol/numbers.h"

namespace corvane {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

char LowerChar(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerChar(c);
  return out;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Splits text at any of the separators, skipping empty pieces.
template <class F>
void ForEachEntry(std::string_view text, std::string_view separators, F&& f) {
  while (!text.empty()) {
    const size_t end = text.find_first_of(separators);
    const std::string_view entry = text.substr(0, end);
    if (!entry.empty()) f(entry);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

// "http://host:port/" written where host:port is meant: the scheme and any
// path dropped.
std::string_view StripUrlDecoration(std::string_view value) {
  if (size_t scheme = value.find("://"); scheme != std::string_view::npos)
    value.remove_prefix(scheme + 3);
  if (size_t slash = value.find('/'); slash != std::string_view::npos)
    value = value.substr(0, slash);
  return value;
}

// '*' matches any run of characters (also none); both texts lower case.
bool WildcardMatch(std::string_view pattern, std::string_view text) {
  size_t p = 0;
  size_t t = 0;
  size_t starP = std::string_view::npos;
  size_t starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starT = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::string_view Unbracket(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = LowerChar(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string HttpProxyFromList(std::string_view text, bool* socksOnly) {
  if (socksOnly != nullptr) *socksOnly = false;
  if (text.find('=') == std::string_view::npos) return std::string(text);
  std::string_view http;
  std::string_view plain;
  bool socks = false;
  ForEachEntry(text, "; \t\r\n", [&](std::string_view entry) {
    const size_t equals = entry.find('=');
    if (equals == std::string_view::npos) {
      if (plain.empty()) plain = entry;
      return;
    }
    const std::string scheme = Lower(entry.substr(0, equals));
    const std::string_view value = StripUrlDecoration(entry.substr(equals + 1));
    if (value.empty()) return;
    if (scheme == "http" && http.empty()) http = value;
    if (scheme == "socks") socks = true;
  });
  if (!http.empty()) return std::string(http);
  if (!plain.empty()) return std::string(StripUrlDecoration(plain));
  if (socksOnly != nullptr) *socksOnly = socks;
  return std::string();
}

bool ParseIPv6(std::string_view text, std::array<uint8_t, 16>& bytes) {
  // Up to eight 16-bit groups, with at most one "::" standing for a run of
  // zero groups; the last 32 bits may be written as dotted IPv4.
  std::array<uint16_t, 8> head{};
  std::array<uint16_t, 8> tail{};
  size_t headCount = 0;
  size_t tailCount = 0;
  bool compressed = false;
  if (text.size() < 2) return false;
  if (text.substr(0, 2) == "::") {
    compressed = true;
    text.remove_prefix(2);
  } else if (text.front() == ':') {
    return false;
  }
  while (!text.empty()) {
    std::array<uint16_t, 8>& groups = compressed ? tail : head;
    size_t& count = compressed ? tailCount : headCount;
    const size_t end = text.find(':');
    const std::string_view group = text.substr(0, end);
    if (group.find('.') != std::string_view::npos) {
      // The dotted IPv4 ending: two groups, and nothing after it.
      uint32_t v4 = 0;
      if (end != std::string_view::npos || headCount + tailCount > 6 ||
          !ParseDottedIPv4(group, DottedForm{3, false, true, false}, &v4))
        return false;
      groups[count++] = static_cast<uint16_t>(v4 >> 16);
      groups[count++] = static_cast<uint16_t>(v4 & 0xFFFF);
      break;
    }
    if (group.empty() || group.size() > 4) return false;
    uint32_t value = 0;
    for (char c : group) {
      const int digit = HexValue(c);
      if (digit < 0) return false;
      value = value * 16 + static_cast<uint32_t>(digit);
    }
    if (headCount + tailCount >= 8) return false;
    groups[count++] = static_cast<uint16_t>(value);
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
    if (!text.empty() && text.front() == ':') {
      if (compressed) return false;
      compressed = true;
      text.remove_prefix(1);
    } else if (text.empty()) {
      return false;  // a single trailing ':'
    }
  }
  const size_t total = headCount + tailCount;
  if (compressed ? total > 7 : total != 8) return false;
  std::array<uint16_t, 8> groups{};
  for (size_t i = 0; i < headCount; ++i) groups[i] = head[i];
  for (size_t i = 0; i < tailCount; ++i) groups[8 - tailCount + i] = tail[i];
  for (size_t i = 0; i < 8; ++i) {
    bytes[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    bytes[2 * i + 1] = static_cast<uint8_t>(groups[i] & 0xFF);
  }
  return true;
}

bool IsLoopbackName(std::string_view host) {
  const std::string name = Lower(Trim(host));
  std::string_view h = name;
  if (!h.empty() && h.back() == '.') h.remove_suffix(1);
  if (h == "localhost") return true;
  if (h.size() > 10 && h.substr(h.size() - 10) == ".localhost") return true;
  uint32_t v4 = 0;
  if (ParseDottedIPv4(h, DottedForm{3, false, true, false}, &v4)) return (v4 >> 24) == 127;
  std::array<uint8_t, 16> v6{};
  if (ParseIPv6(Unbracket(h), v6)) {
    for (size_t i = 0; i < 15; ++i)
      if (v6[i] != 0) return false;
    return v6[15] == 1;
  }
  return false;
}

bool ProxyOverrideBypasses(std::string_view host, std::string_view list) {
  const std::string name = Lower(Trim(host));
  if (name.empty()) return false;
  bool loopbackByProxy = false;
  bool matched = false;
  ForEachEntry(list, "; \t\r\n", [&](std::string_view entry) {
    const std::string pattern = Lower(StripUrlDecoration(entry));
    if (pattern == "<-loopback>") {
      loopbackByProxy = true;
    } else if (pattern == "<local>") {
      // A plain intranet name: no dot, and no IPv6 literal either.
      if (name.find_first_of(".:") == std::string::npos) matched = true;
    } else if (!pattern.empty() && WildcardMatch(pattern, name)) {
      matched = true;
    }
  });
  if (matched) return true;
  return !loopbackByProxy && IsLoopbackName(name);
}

std::vector<std::string> ProxyCandidatesFromList(std::string_view list, bool* othersOnly) {
  std::vector<std::string> candidates;
  bool others = false;
  ForEachEntry(list, ";", [&](std::string_view entry) {
    entry = Trim(entry);
    if (entry.empty()) return;
    const size_t blank = entry.find_first_of(" \t");
    const std::string keyword = Lower(entry.substr(0, blank));
    const std::string_view rest =
        blank == std::string_view::npos ? std::string_view() : Trim(entry.substr(blank));
    if (keyword == "direct") {
      candidates.emplace_back();
    } else if (keyword == "proxy" || keyword == "http") {
      if (!rest.empty()) candidates.emplace_back(StripUrlDecoration(rest));
    } else if (keyword == "socks" || keyword == "socks4" || keyword == "socks5" ||
               keyword == "https") {
      // A kind of proxy this component does not speak.
      others = true;
    } else {
      ForEachEntry(entry, " \t", [&](std::string_view bare) {
        // "http=host:port" as WinHTTP may write it; other schemes are not ours.
        const size_t equals = bare.find('=');
        if (equals != std::string_view::npos) {
          if (Lower(bare.substr(0, equals)) != "http") {
            others = true;
            return;
          }
          bare.remove_prefix(equals + 1);
        }
        bare = StripUrlDecoration(bare);
        if (!bare.empty()) candidates.emplace_back(bare);
      });
    }
  });
  if (othersOnly != nullptr) *othersOnly = others && candidates.empty();
  return candidates;
}

ProxyAddress ParseProxyAddress(std::string_view text) {
  ProxyAddress out;
  text = Trim(text);
  const std::string shown(text.substr(0, 100));
  if (const size_t scheme = text.find("://"); scheme != std::string_view::npos) {
    if (Lower(text.substr(0, scheme)) != "http") {
      out.kind = ProxyAddress::Kind::OtherKind;
      out.problem = "not an HTTP proxy: " + shown;
      return out;
    }
    text.remove_prefix(scheme + 3);
  }
  text = text.substr(0, text.find_first_of("/?#"));
  if (const size_t at = text.rfind('@'); at != std::string_view::npos) text.remove_prefix(at + 1);
  std::string_view host = text;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    // [v6]:port: the colons inside the brackets are the address's.
    const size_t close = text.find(']');
    std::array<uint8_t, 16> bytes{};
    if (close == std::string_view::npos || !ParseIPv6(text.substr(1, close - 1), bytes)) {
      out.problem = "a bracketed proxy address that is not IPv6: " + shown;
      return out;
    }
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() == ':') port = rest.substr(1);
  } else if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  int64_t value = 0;
  bool digits = !port.empty() && port.size() <= 5;
  for (char c : port) {
    digits = digits && c >= '0' && c <= '9';
    if (digits) value = value * 10 + (c - '0');
  }
  if (host.empty() || !digits || value < 1 || value > 65535) {
    out.problem = "a proxy without a host or a port from 1 to 65535: " + shown;
    return out;
  }
  out.kind = ProxyAddress::Kind::Http;
  out.host = std::string(host);
  out.port = static_cast<int32_t>(value);
  return out;
}

}  // namespace corvane
