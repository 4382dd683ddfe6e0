// The site lock's URL reading and list matching. Everything that is not
// plainly one of the accepted forms is refused (a URL) or ignored (an
// entry): a browser may read an odd URL more generously than this code, so a
// page is admitted only when both readings agree.
#include "com/site_lock.h"

namespace corvane::com {
namespace {

constexpr std::string_view kHttp = "http";
constexpr std::string_view kHttps = "https";

// Space and the C0 controls, which browsers strip around a URL (inside one
// they are not a host's characters).
bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int DefaultPort(std::string_view scheme) { return scheme == kHttps ? 443 : 80; }

// Decimal digits only, at most 65535 (leading zeros allowed, as in URLs).
std::optional<int> ParsePort(std::string_view digits) {
  if (digits.empty()) return std::nullopt;
  int port = 0;
  for (char c : digits) {
    if (!IsDigit(c)) return std::nullopt;
    port = port * 10 + (c - '0');
    if (port > 65535) return std::nullopt;
  }
  return port;
}

// "host", "host:port", "[v6]" or "[v6]:port"; port is empty after a bare
// ':' and absent without one.
bool SplitHostPort(std::string_view text, std::string_view& host,
                   std::optional<std::string_view>& port) {
  port.reset();
  std::size_t end = text.size();
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return false;
    end = close + 1;
    if (end < text.size() && text[end] != ':') return false;
  } else {
    end = text.find(':');
    if (end != std::string_view::npos && text.find(':', end + 1) != std::string_view::npos)
      return false;
    if (end == std::string_view::npos) end = text.size();
  }
  host = text.substr(0, end);
  if (end < text.size()) port = text.substr(end + 1);
  return true;
}

// A host name of ASCII letters, digits, '-' and '_' in non-empty dot-separated
// labels (one trailing dot dropped), or a bracketed IPv6 address; lower case.
std::optional<std::string> ParseHost(std::string_view text) {
  std::string host = Lower(text);
  if (!host.empty() && host.front() == '[') {
    if (host.size() < 3 || host.back() != ']') return std::nullopt;
    for (std::size_t i = 1; i + 1 < host.size(); ++i) {
      const char c = host[i];
      if (!IsDigit(c) && !(c >= 'a' && c <= 'f') && c != ':' && c != '.') return std::nullopt;
    }
    return host;
  }
  if (!host.empty() && host.back() == '.') host.pop_back();
  if (host.empty()) return std::nullopt;
  char previous = '.';
  for (const char c : host) {
    const bool word = IsDigit(c) || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
    if (!word && (c != '.' || previous == '.')) return std::nullopt;
    previous = c;
  }
  if (previous == '.') return std::nullopt;
  return host;
}

}  // namespace

std::optional<Origin> ParseOrigin(std::string_view url) {
  url = Trim(url);
  const std::size_t colon = url.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  Origin origin;
  origin.scheme = Lower(url.substr(0, colon));
  if (origin.scheme != kHttp && origin.scheme != kHttps) return std::nullopt;
  // Browsers take a backslash for a slash in http and https URLs, also in
  // the two that open the authority.
  std::string_view rest = url.substr(colon + 1);
  const auto slash = [](char c) { return c == '/' || c == '\\'; };
  if (rest.size() < 2 || !slash(rest[0]) || !slash(rest[1])) return std::nullopt;
  rest.remove_prefix(2);
  std::string_view authority = rest.substr(0, rest.find_first_of("/\\?#"));
  // user:password@host: the host is after the last '@'.
  const std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  std::string_view host;
  std::optional<std::string_view> port;
  if (!SplitHostPort(authority, host, port)) return std::nullopt;
  std::optional<std::string> parsed = ParseHost(host);
  if (!parsed) return std::nullopt;
  origin.host = std::move(*parsed);
  origin.port = DefaultPort(origin.scheme);
  if (port && !port->empty()) {
    const std::optional<int> number = ParsePort(*port);
    if (!number) return std::nullopt;
    origin.port = *number;
  }
  return origin;
}

AllowList AllowList::Parse(std::string_view text) {
  AllowList list;
  while (!text.empty()) {
    const std::size_t end = text.find(';');
    const std::string_view piece = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (piece.empty()) continue;

    Entry entry;
    entry.scheme = std::string(kHttps);
    std::string_view rest = piece;
    const std::size_t separator = rest.find("://");
    bool valid = true;
    if (separator != std::string_view::npos) {
      entry.scheme = Lower(rest.substr(0, separator));
      valid = entry.scheme == kHttp || entry.scheme == kHttps;
      rest.remove_prefix(separator + 3);
    }
    // An origin may be written with the slash of its root path; anything
    // more is a path, which the lock does not look at, so the entry is
    // ignored rather than taken wider than written.
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    std::string_view host;
    std::optional<std::string_view> port;
    valid = valid && rest.find_first_of("/\\?#@") == std::string_view::npos &&
            SplitHostPort(rest, host, port);
    entry.port = DefaultPort(entry.scheme);
    if (valid && port) {
      const std::optional<int> number = ParsePort(*port);
      valid = number && *number > 0;
      if (valid) entry.port = *number;
    }
    if (valid && host.substr(0, 2) == "*.") {
      entry.subdomains = true;
      host.remove_prefix(2);
    }
    std::optional<std::string> parsed;
    if (valid && host.find('*') == std::string_view::npos) parsed = ParseHost(host);
    if (!parsed) {
      list.m_ignored.emplace_back(piece);
      continue;
    }
    entry.host = std::move(*parsed);
    list.m_entries.push_back(std::move(entry));
  }
  return list;
}

bool AllowList::Allows(const Origin& page) const {
  for (const Entry& entry : m_entries) {
    if (entry.scheme != page.scheme || entry.port != page.port) continue;
    if (!entry.subdomains) {
      if (page.host == entry.host) return true;
      continue;
    }
    // A whole label in front: "a.broker.example", not "evilbroker.example".
    const std::size_t length = entry.host.size();
    if (page.host.size() > length + 1 &&
        page.host.compare(page.host.size() - length, length, entry.host) == 0 &&
        page.host[page.host.size() - length - 1] == '.')
      return true;
  }
  return false;
}

bool AllowList::Allows(std::string_view url) const {
  const std::optional<Origin> origin = ParseOrigin(url);
  return origin && Allows(*origin);
}

SiteVerdict JudgeSite(const AllowList* list, std::optional<std::string_view> pageUrl) {
  if (list == nullptr) return SiteVerdict::kNoList;
  if (!pageUrl) return SiteVerdict::kNoDocument;
  return list->Allows(*pageUrl) ? SiteVerdict::kListed : SiteVerdict::kNotListed;
}

}  // namespace corvane::com
