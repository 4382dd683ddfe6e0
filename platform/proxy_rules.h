// The rules by which the user's proxy configuration names a proxy for one
// server, apart from where that configuration is stored (the registry, WinHTTP
// or the environment). Pure text processing: no names are resolved, so every
// decision is made on the name the script gave.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvane {

// ---- "ProxyServer" ----

// The proxy that serves plain HTTP connections in a "ProxyServer" text.
// A text without '=' is one proxy for every protocol and is returned as it
// is. Otherwise it is a list of "scheme=host:port" entries separated by ';'
// or blanks (as Internet Settings writes it when "use the same proxy for all
// protocols" is off): the "http=" entry wins, else an entry without a scheme.
// "https=" names the proxy for https URLs (a plain-HTTP proxy all the same),
// not a proxy spoken to over TLS, so it is no candidate here. Empty when the
// list names none; *socksOnly then tells whether a "socks=" entry was all
// there was of use.
std::string HttpProxyFromList(std::string_view text, bool* socksOnly = nullptr);

// ---- One proxy ----

// A proxy as a configuration names it: "host:port", "[v6]:port", or a URL
// "http://user@host:port/path" (user information and path dropped). Only plain
// HTTP proxies are this component's: a URL of another scheme (socks5://,
// https://) names a kind it does not speak. The port is 1 to 65535, digits
// only; a text without one names no usable proxy.
struct ProxyAddress {
  enum class Kind : uint8_t { Http, OtherKind, Invalid };
  Kind kind = Kind::Invalid;
  std::string host;  // an IPv6 address without its brackets
  int32_t port = 0;
  std::string problem;  // for the trace, when not Http
};
ProxyAddress ParseProxyAddress(std::string_view text);

// ---- "ProxyOverride" ----

// Whether a server name is a loopback name: "localhost" (and its
// sub-domains), 127.0.0.0/8, ::1 (bracketed or not).
bool IsLoopbackName(std::string_view host);

// Whether the "ProxyOverride" list sends the server host directly: entries
// separated by ';' or blanks, compared case-insensitively with '*' matching
// any run of characters; "<local>" matches a name without a dot. Loopback
// names always go directly unless the list holds "<-loopback>".
bool ProxyOverrideBypasses(std::string_view host, std::string_view list);

// ---- Automatic configuration ----

// The proxies an automatic configuration (a PAC script's answer, or WinHTTP's
// list made from one) names, in the order they are to be tried: each entry
// (separated by ';') "PROXY host:port" or "HTTP host:port" gives host:port,
// "DIRECT" gives an empty text, a bare host:port stands for itself, and any
// other kind (SOCKS, HTTPS) is skipped. Blank-separated bare entries count
// as separate entries. *othersOnly tells whether the list named proxies and
// all of them were of another kind.
std::vector<std::string> ProxyCandidatesFromList(std::string_view list, bool* othersOnly = nullptr);

// ---- Addresses ----

// An IPv6 address in text (RFC 4291 forms: groups, "::", a trailing dotted
// IPv4 part; no zone index) as its 16 bytes.
bool ParseIPv6(std::string_view text, std::array<uint8_t, 16>& bytes);

}  // namespace corvane
