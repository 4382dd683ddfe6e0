// The parsing behind the environment's proxy settings
// (proxy_settings_posix.cpp), apart from the environment itself.
#pragma once

#include <string>
#include <string_view>

#include "platform/proxy_settings.h"

namespace corvane {

// host:port of a proxy URL: scheme, user information and path dropped, ":1080"
// added when no port is given ("[v6]:port" for an IPv6 address); empty when
// it names no host.
std::string ProxyUrlHostAndPort(std::string_view url);
// The URL's scheme as written ("http", "socks5", ...); empty without one.
std::string_view ProxyUrlScheme(std::string_view url);

// Whether a no_proxy list names the server host, by curl's rules: the list
// "*" alone matches every host; otherwise entries separated by commas or
// blanks, each a name matching itself and its sub-domains on a label boundary
// (leading dots ignored, case-insensitive, a ":port" ignored), or an IPv4 or
// IPv6 address or network (CIDR "a.b.c.d/n", "x::y/n") matching a host
// written as an address in it. Nothing is resolved.
bool NoProxyExcludes(const std::string& serverHost, std::string_view list);

// The settings that the first set proxy variable and the first set no_proxy
// variable give (nullptr: none set); false when the proxy URL cannot be read.
bool ProxySettingsFromEnvironment(const char* proxy, const char* noProxy,
                                  const std::string& serverHost, ProxySettings& settings);

}  // namespace corvane
