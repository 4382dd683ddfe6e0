// The site lock: which pages may script the component (standard C++, no I/O;
// the COM object finds the page's URL and reads the list from the registry).
//
// The administrator's list holds entries separated by ';', blanks around an
// entry ignored:
//
//   https://trade.broker.example        one origin (scheme, host, default port)
//   https://trade.broker.example:8443   one origin with its port
//   http://intranet.broker.example      plain http, only where named so
//   *.broker.example                    every host below broker.example
//   https://*.broker.example:8443       the same on one port
//
// An entry without a scheme means https: a plain-http page can be rewritten
// by anyone on its network path, so http is admitted only by an entry that
// says http://. An entry without a port means the scheme's default port
// (443, 80). "*.domain" matches hosts with at least one more label in front
// (a.domain, a.b.domain), never domain itself: list it as well to admit it.
// Hosts and schemes compare without regard to ASCII case; hosts are ASCII
// (internationalised names in their xn-- form). An entry that is none of
// these (a path, a bare "*", a wildcard inside a label, a scheme other than
// http or https, a port out of range) is ignored.
//
// A page's origin is read from its URL as a browser reads it: the host is
// after the last '@' of the authority, and the authority ends at '/', '\',
// '?' or '#'. A URL that is not absolute http or https, or whose host is not
// plain ASCII letters, digits, '-', '_' and dots (or a bracketed IPv6
// address), has no origin and matches nothing.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::com {

struct Origin {
  std::string scheme;  // "http" or "https"
  std::string host;    // lower case, without a trailing dot
  int port = 0;        // the URL's port, or the scheme's default
};

// The origin of an absolute http or https URL; nothing for any other text.
std::optional<Origin> ParseOrigin(std::string_view url);

class AllowList {
 public:
  // Parses the administrator's text; malformed entries are left out and kept
  // in Ignored(), for the trace.
  static AllowList Parse(std::string_view text);

  bool Allows(const Origin& page) const;
  // False for a URL without an origin.
  bool Allows(std::string_view url) const;

  std::size_t size() const { return m_entries.size(); }
  const std::vector<std::string>& Ignored() const { return m_ignored; }

 private:
  struct Entry {
    std::string scheme;
    std::string host;         // for a pattern, the domain after "*."
    bool subdomains = false;  // "*.host"
    int port = 0;
  };
  std::vector<Entry> m_entries;
  std::vector<std::string> m_ignored;
};

// Why a page may or may not script the component.
enum class SiteVerdict {
  kNoList,      // no list is configured: every page may
  kNoDocument,  // the host has no document (a script host, a program)
  kListed,      // the page's origin is on the list
  kNotListed,   // it is not, or the page's URL has no origin
};

// list: the configured list, or null when there is none. pageUrl: the
// hosting document's URL, nothing when the host has no document (a document
// whose URL cannot be read, or a browser that shows no document holding the
// object, gives an empty URL, which is refused).
SiteVerdict JudgeSite(const AllowList* list, std::optional<std::string_view> pageUrl);

inline bool SiteAllowed(SiteVerdict verdict) { return verdict != SiteVerdict::kNotListed; }

}  // namespace corvane::com
