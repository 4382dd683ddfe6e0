// The requests the component sends: the HTTP GET request that carries one
// message to the server, and the CONNECT request that opens a proxy tunnel.
// Both carry the same fixed block of header lines (protocol/wire.h).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// Whether a message can stand in a request line as it is: no CR, LF or NUL.
// Those end a line (or a string) for the parsers on the way, a proxy's and
// the server's, so a message holding one could add header lines or whole
// requests of its own, to hosts and ports nobody chose. Every other byte
// stays: the format carries messages unescaped, spaces and STX included.
bool FitsRequestLine(std::string_view message);
// Whether a host name can be named in a request line and a Host line: no
// control byte and no space, which end or split those lines.
bool FitsHostName(std::string_view host);

// host: the interactive server's address as configured; port: its port.
// requestText: the message. The "Proxy-Authorization: Basic " line with
// proxyAuth (the Base64 form of user id ":" password) is added only when
// proxyEnable is 1 and proxyCredentials is set. proxyEnable is 1 only for a
// request that goes to the proxy itself: never for one inside a CONNECT
// tunnel, which reaches the server. A request to the proxy itself names the
// server's port (in the request line and the Host line) unless it is 80, so
// that the proxy goes where the script asked; any other request names no
// port, as the server expects. Empty when the message or the host does not
// fit (FitsRequestLine, FitsHostName), or the credentials text holds CR, LF
// or NUL (it is the Base64 encoder's, which never writes them): nothing is to
// be sent.
std::string BuildHttpRequest(std::string_view host, std::string_view requestText,
                             int32_t proxyEnable, bool proxyCredentials, std::string_view proxyAuth,
                             int32_t port = 80);

// The CONNECT request for host:port (port in decimal, as given), always with
// the "Proxy-Authorization: Basic " line carrying proxyAuth (the Base64 form
// of user id ":" password). Host and port are written as they are; empty when
// the host does not fit (FitsHostName) or the credentials text holds CR, LF
// or NUL.
std::string BuildConnectRequest(std::string_view host, int32_t port, std::string_view proxyAuth);
// The same request for a round of proxy authentication: its
// "Proxy-Authorization: <scheme> <token>" line in place of the Basic one, or
// no such line when scheme is empty. Empty when the host does not fit or the
// token holds CR, LF or NUL.
std::string BuildConnectRequestFor(std::string_view host, int32_t port, std::string_view scheme,
                                   std::string_view token);

}  // namespace corvane
