// The HTTP GET request that carries one message to the server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// host: the interactive server's address as configured (no port is written).
// requestText: the message; it ends at its first zero byte, if any.
// The "Proxy-Authorization: Basic " line with proxyAuth (the Base64 form of
// user id ":" password) is added only when proxyEnable is 1 and
// proxyCredentials is set.
std::string BuildHttpRequest(std::string_view host, std::string_view requestText,
                             int32_t proxyEnable, bool proxyCredentials,
                             std::string_view proxyAuth);

}  // namespace corvane
