// The site lock's two readers of untrusted text: a page's URL (from the page)
// and the administrator's list (from the registry).
//
// Input: the list text up to a zero byte, then the URL. Checks: any origin
// read from a URL is well formed (http or https, a lower-case host without a
// trailing dot, a port from 0 to 65535); a list of exactly that origin
// admits it (port 0 aside, which no entry names), in any letter case, and the pattern "*.host" does
// not (a pattern never admits its own domain) while it admits one more label in front; a list never
// keeps more entries than it has ';'-separated items; and the decision for the fuzzed list is the
// same for the URL and for the origin read from it.
#include <algorithm>
#include <cctype>
#include <string>

#include "com/site_lock.h"
#include "fuzz/fuzz_support.h"

namespace {

using corvane::com::AllowList;
using corvane::com::Origin;
using corvane::com::ParseOrigin;
using corvane::fuzz::InputReader;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

void CheckOrigin(const Origin& o) {
  FUZZ_CHECK(o.scheme == "http" || o.scheme == "https");
  FUZZ_CHECK(!o.host.empty() && o.host.back() != '.');
  for (const char c : o.host) FUZZ_CHECK(!(c >= 'A' && c <= 'Z'));
  FUZZ_CHECK(o.port >= 0 && o.port <= 65535);  // 0 is a port a URL may name
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const std::string_view listText = in.Until('\0');
  const std::string_view url = in.Rest();

  const AllowList list = AllowList::Parse(listText);
  const size_t items = static_cast<size_t>(std::count(listText.begin(), listText.end(), ';')) + 1;
  FUZZ_CHECK(list.size() <= items);

  const auto origin = ParseOrigin(url);
  if (!origin) {
    FUZZ_CHECK(!list.Allows(url));
    return 0;
  }
  CheckOrigin(*origin);
  FUZZ_CHECK(list.Allows(url) == list.Allows(*origin));

  // Bracketed IPv6 hosts have no pattern form; names and IPv4 addresses do.
  // An entry cannot name port 0 (a page on it is never listed).
  if (origin->host.front() == '[' || origin->port == 0) return 0;
  const std::string port = ":" + std::to_string(origin->port);
  const std::string own = origin->scheme + "://" + origin->host + port;
  FUZZ_CHECK(AllowList::Parse(own).Allows(*origin));
  FUZZ_CHECK(AllowList::Parse(Upper(own)).Allows(*origin));
  const AllowList pattern = AllowList::Parse(origin->scheme + "://*." + origin->host + port);
  FUZZ_CHECK(!pattern.Allows(*origin));
  Origin below = *origin;
  below.host = "a." + origin->host;
  FUZZ_CHECK(pattern.size() == 0 || pattern.Allows(below));
  return 0;
}
