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
//   Proxy-Authorization: Basic <credentials>   (to the proxy itself, see below)
//   Host: <host>
//   Connection: Keep-Alive
//   <empty line>
//
// The authorization line is for a proxy that reads the request: one used
// without a tunnel. Inside a CONNECT tunnel the request goes to the server
// untouched, and the user's proxy password has no business there, so the
// caller then passes a proxy flag of 0 and the line is left out (every other
// byte stays the same). A request to the proxy itself also names the
// server's port ("http://<host>:<port>/", "Host: <host>:<port>") unless it
// is 80: a proxy reads the absolute URI and would go to port 80.
//
// Every line ends in CR LF. The method is spelt "Get" and no port is written
// to the server itself: it expects these exact bytes. There is no body and
// no terminating zero byte. A message with CR, LF or NUL, or a host with a
// control byte or a space, makes no request at all: they would let the text
// write header lines or requests of its own.
//
// The CONNECT request for a proxy tunnel has the same block, with "Accept: */*",
// the authorization line always, and host:port as target and Host:
//
//   CONNECT <host>:<port> HTTP/1.1
//   Accept: */*
//   Accept-Language: en-us
//   Accept-Encoding: gzip, deflate
//   User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1; .NET CLR 1.0.3705)
//   Proxy-Authorization: Basic <credentials>
//   Host: <host>:<port>
//   Connection: Keep-Alive
//   <empty line>
#include "send/http_request.h"

#include <new>

#include "platform/secure_wipe.h"
#include "protocol/wire.h"

namespace corvane {

namespace {

// The header block after the request line, shared by both requests: the Accept
// line, the common lines, the authorization line when withAuth, Host with
// hostValue, Connection, and the empty line.
void AppendHeaders(std::string& request, std::string_view accept, bool withAuth,
                   std::string_view proxyAuth, std::string_view hostValue) {
  request += accept;
  request += wire::kCommonHeaders;
  if (withAuth) {
    request += wire::kProxyAuthorization;
    request += proxyAuth;
    request += wire::kCrLf;
  }
  request += wire::kHost;
  request += hostValue;
  request += wire::kCrLf;
  request += wire::kKeepAlive;
  request += wire::kCrLf;
}

}  // namespace

bool FitsRequestLine(std::string_view message) {
  return message.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool FitsHostName(std::string_view host) {
  for (const char c : host) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F) return false;
  }
  return true;
}

std::string BuildHttpRequest(std::string_view host, std::string_view requestText,
                             int32_t proxyEnable, bool proxyCredentials, std::string_view proxyAuth,
                             int32_t port) {
  if (!FitsRequestLine(requestText) || !FitsHostName(host) || !FitsRequestLine(proxyAuth))
    return std::string();
  const bool toProxy = proxyEnable == 1;
  const bool withProxyAuth = toProxy && proxyCredentials;
  // The server as the proxy must reach it; the server itself is named as it
  // always was.
  std::string target(host);
  if (toProxy && port != 80) target += ':' + std::to_string(port);

  std::string request;
  // Out of memory ends the building; what was built so far is returned.
  try {
    request.reserve(wire::kGetStart.size() + 2 * target.size() + requestText.size() +
                    wire::kCommonHeaders.size() + proxyAuth.size() + 128);
    request += wire::kGetStart;
    request += target;
    request += '/';
    request += wire::kStx;
    request += requestText;
    request += wire::kHttpVersionLine;
    AppendHeaders(request, wire::kGetAccept, withProxyAuth, proxyAuth, target);
  } catch (const std::bad_alloc&) {
  }
  return request;
}

std::string BuildConnectRequest(std::string_view host, int32_t port, std::string_view proxyAuth) {
  if (!FitsHostName(host) || !FitsRequestLine(proxyAuth)) return std::string();
  std::string target(host);
  target += ':';
  target += std::to_string(port);
  std::string request;
  request.reserve(300 + 2 * target.size() + proxyAuth.size());
  request += wire::kConnectStart;
  request += target;
  request += wire::kHttpVersionLine;
  AppendHeaders(request, wire::kConnectAccept, true, proxyAuth, target);
  return request;
}

std::string BuildConnectRequestFor(std::string_view host, int32_t port, std::string_view scheme,
                                   std::string_view token) {
  if (scheme == "Basic") return BuildConnectRequest(host, port, token);
  std::string request = BuildConnectRequest(host, port, "");
  if (request.empty() || !FitsRequestLine(token) || !FitsRequestLine(scheme)) return std::string();
  // The Basic line with an empty value, replaced by this round's line.
  const std::string basic = std::string(wire::kProxyAuthorization) + std::string(wire::kCrLf);
  std::string line;
  if (!scheme.empty()) {
    line = std::string(wire::kProxyAuthorizationName) + std::string(scheme);
    if (!token.empty()) line += " " + std::string(token);
    line += wire::kCrLf;
  }
  request.replace(request.find(basic), basic.size(), line);
  SecureWipe(line);
  return request;
}

}  // namespace corvane
