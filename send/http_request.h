// The HTTP GET request that carries one message to the server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

std::string BuildHttpRequest(std::string_view host, std::string_view requestText,
                             int32_t proxyEnable, bool proxyCredentials,
                             std::string_view proxyAuth);

}  // namespace corvane
