// BuildHttpRequest: the request's bytes read back.
//
// The request is taken apart as a server reads it: the request line
// "Get http://HOST/" STX MESSAGE " HTTP/1.1", where MESSAGE is the text up to
// its first zero byte, unchanged; the fixed header lines; the
// Proxy-Authorization line exactly when the proxy flag is 1 and credentials
// are set; "Host: HOST"; "Connection: Keep-Alive"; and the empty line.
//
// Input: a flags byte (bits 0-1: proxy flag -1, 0, 1 or 2; bit 2: credentials),
// then the host, the message and the credentials, each ended by a zero byte
// (the message may hold zero bytes of its own: a 0xFF byte in it stands for
// one).
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

  const std::string request =
      corvane::BuildHttpRequest(host, message, proxyEnable, credentials, auth);
  const std::string_view text = std::string_view(message).substr(0, message.find('\0'));
  std::string_view r = request;
  FUZZ_CHECK(Take(r, "Get http://"));
  FUZZ_CHECK(Take(r, host));
  FUZZ_CHECK(Take(r, "/\x02"));
  FUZZ_CHECK(Take(r, text));
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
  FUZZ_CHECK(Take(r, host));
  FUZZ_CHECK(Take(r, "\r\nConnection: Keep-Alive\r\n\r\n"));
  FUZZ_CHECK(r.empty());
  return 0;
}
