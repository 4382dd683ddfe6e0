// The parsing behind the environment's proxy settings
// (proxy_settings_posix.cpp), apart from the environment itself.
#pragma once

#include <string>
#include <string_view>

#include "platform/proxy_settings.h"

namespace corvane {

// host:port of a proxy URL: scheme, user information and path dropped, ":1080"
// added when no port is given; empty when it names no host.
std::string ProxyUrlHostAndPort(std::string_view url);

// Whether a no_proxy list (entries separated by commas or spaces) names the
// interactive host: "*", a name or one of its parent domains (leading "."
// allowed, ":port" ignored), or an IPv4 network "a.b.c.d/n".
bool NoProxyExcludes(const std::string& interactiveHost, std::string_view list);

// The settings that the first set proxy variable and the first set no_proxy
// variable give (nullptr: none set); false when the proxy URL cannot be read.
bool ProxySettingsFromEnvironment(const char* proxy, const char* noProxy,
                                  const std::string& interactiveHost, ProxySettings& settings);

}  // namespace corvane
