// The request format: every message leaves as an HTTP/1.1 GET request in
// absolute-URI form whose path, after the first "/", is STX (0x02) followed by
// the message text unchanged (no escaping), then a fixed block of header
// lines:
//
//   Get http://<host>/<STX><message> HTTP/1.1
//   Accept: /*
//   Accept-Language: en-us
//   Accept-Encoding: gzip, deflate
//   User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR 1.0.3705)
//   Proxy-Authorization: Basic <credentials>   (proxy enabled and credentials set)
//   Host: <host>
//   Connection: Keep-Alive
//   <empty line>
//
// Every line ends in CR LF. The method is spelt "Get" and no port is written:
// the server expects these exact bytes. There is no body and no terminating
// zero byte.
#include "send/http_request.h"

#include <new>

namespace corvane {

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kRequestStart = "Get http://";
constexpr std::string_view kRequestEnd = " HTTP/1.1\r\n";
constexpr std::string_view kFixedHeaders =
    "Accept: /*\r\n"
    "Accept-Language: en-us\r\n"
    "Accept-Encoding: gzip, deflate\r\n"
    "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR 1.0.3705)\r\n";
constexpr std::string_view kProxyAuthorization = "Proxy-Authorization: Basic ";
constexpr std::string_view kHost = "Host: ";
constexpr std::string_view kConnection = "Connection: Keep-Alive\r\n";

}  // namespace

std::string BuildHttpRequest(std::string_view host, std::string_view requestText,
                             int32_t proxyEnable, bool proxyCredentials,
                             std::string_view proxyAuth) {
  // The message is a zero-terminated text: anything after a zero byte is not part of it.
  requestText = requestText.substr(0, requestText.find('\0'));
  const bool withProxyAuth = proxyEnable == 1 && proxyCredentials;

  std::string request;
  // Out of memory ends the building; what was built so far is returned.
  try {
    request.reserve(kRequestStart.size() + 2 * host.size() + requestText.size() +
                    kFixedHeaders.size() + proxyAuth.size() + 128);
    request += kRequestStart;
    request += host;
    request += '/';
    request += '\x02';
    request += requestText;
    request += kRequestEnd;
    request += kFixedHeaders;
    if (withProxyAuth) {
      request += kProxyAuthorization;
      request += proxyAuth;
      request += kCrLf;
    }
    request += kHost;
    request += host;
    request += kCrLf;
    request += kConnection;
    request += kCrLf;
  } catch (const std::bad_alloc&) {
  }
  return request;
}

}  // namespace corvane
