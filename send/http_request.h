// The requests the component sends: the HTTP GET request that carries one
// message to the server, and the CONNECT request that opens a proxy tunnel.
// Both carry the same fixed block of header lines (protocol/wire.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// host: the interactive server's address as configured (no port is written).
// requestText: the message; it ends at its first zero byte, if any.
// The "Proxy-Authorization: Basic " line with proxyAuth (the Base64 form of
// user id ":" password) is added only when proxyEnable is 1 and
// proxyCredentials is set. proxyEnable is 1 only for a request that goes to
// the proxy itself: never for one inside a CONNECT tunnel, which reaches the
// server.
std::string BuildHttpRequest(std::string_view host, std::string_view requestText,
                             int32_t proxyEnable, bool proxyCredentials,
                             std::string_view proxyAuth);

// The CONNECT request for host:port (port in decimal, as given), always with
// the "Proxy-Authorization: Basic " line carrying proxyAuth (the Base64 form
// of user id ":" password). Host and port are written as they are.
std::string BuildConnectRequest(std::string_view host, int32_t port, std::string_view proxyAuth);

}  // namespace corvane
