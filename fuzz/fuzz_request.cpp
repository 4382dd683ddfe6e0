// BuildHttpRequest: the request's bytes read back.
//
// A message with CR, LF or NUL, a host with a control byte or a space, or
// credentials with CR, LF or NUL give no request at all (nor a CONNECT
// request, where the host or the credentials are at fault). Any other request
// is taken apart as a server reads it: the request line "Get http://TARGET/"
// STX MESSAGE " HTTP/1.1", with MESSAGE unchanged and TARGET the host, and
// ":PORT" after it for a request to the proxy itself (proxy flag 1) when the
// port is not 80; the fixed header lines; the Proxy-Authorization line
// exactly when the proxy flag is 1 and credentials are set; "Host: TARGET";
// "Connection: Keep-Alive"; and the empty line. Nothing else: no line a
// message could have added. A CONNECT request that is made names the host as
// its target and Host, and ends with its one empty line.
//
// Input: a flags byte (bits 0-1: proxy flag -1, 0, 1 or 2; bit 2: credentials;
// bit 3: port 8080, else 80), then the host, the message and the credentials,
// each ended by a zero byte (the message may hold zero bytes of its own: a
// 0xFF byte in it stands for one).
#include <string>

#include "fuzz/fuzz_support.h"
#include "send/http_request.h"

namespace {

using corvane::fuzz::InputReader;

// Removes the prefix from text; false when text does not start with it.
bool Take(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const uint8_t flags = in.Byte();
  const int32_t proxyEnable = static_cast<int32_t>(flags & 3) - 1;
  const bool credentials = (flags & 4) != 0;
  const std::string_view host = in.Until('\0');
  std::string message(in.Until('\0'));
  for (char& c : message)
    if (c == '\xFF') c = '\0';
  const std::string_view auth = in.Until('\0');
  const int32_t port = (flags & 8) != 0 ? 8080 : 80;

  const std::string request =
      corvane::BuildHttpRequest(host, message, proxyEnable, credentials, auth, port);
  const bool endsALine = message.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
  bool badHost = false;
  for (const char c : host) badHost = badHost || static_cast<unsigned char>(c) <= 0x20 || c == 0x7F;
  const bool badAuth = auth.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
  FUZZ_CHECK(request.empty() == (endsALine || badHost || badAuth));
  // The CONNECT request names the same host, or is not made either.
  const std::string connect = corvane::BuildConnectRequest(host, port, auth);
  FUZZ_CHECK(connect.empty() == (badHost || badAuth));
  if (!connect.empty()) {
    const std::string line = "CONNECT " + std::string(host) + ":" + std::to_string(port);
    FUZZ_CHECK(connect.rfind(line + " HTTP/1.1\r\n", 0) == 0);
    FUZZ_CHECK(connect.find("\r\nHost: " + line.substr(8) + "\r\n") != std::string::npos);
    FUZZ_CHECK(connect.find("\r\n\r\n") == connect.size() - 4);
  }
  if (request.empty()) return 0;
  const std::string target =
      std::string(host) + (proxyEnable == 1 && port != 80 ? ":" + std::to_string(port) : "");
  std::string_view r = request;
  FUZZ_CHECK(Take(r, "Get http://"));
  FUZZ_CHECK(Take(r, target));
  FUZZ_CHECK(Take(r, "/\x02"));
  FUZZ_CHECK(Take(r, message));
  FUZZ_CHECK(Take(r, " HTTP/1.1\r\n"));
  FUZZ_CHECK(Take(r, "Accept: /*\r\n"));
  FUZZ_CHECK(Take(r, "Accept-Language: en-us\r\n"));
  FUZZ_CHECK(Take(r, "Accept-Encoding: gzip, deflate\r\n"));
  FUZZ_CHECK(Take(r,
                  "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR "
                  "1.0.3705)\r\n"));
  if (proxyEnable == 1 && credentials) {
    FUZZ_CHECK(Take(r, "Proxy-Authorization: Basic "));
    FUZZ_CHECK(Take(r, auth));
    FUZZ_CHECK(Take(r, "\r\n"));
  }
  FUZZ_CHECK(Take(r, "Host: "));
  FUZZ_CHECK(Take(r, target));
  FUZZ_CHECK(Take(r, "\r\nConnection: Keep-Alive\r\n\r\n"));
  FUZZ_CHECK(r.empty());
  return 0;
}
