// Two-key triple DES (EDE) in CBC mode with a zero IV restarted per message.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace corvane {

// direction 1 encrypts, 0 decrypts. Returns a buffer of length + 1 bytes (the
// last one zero; a final partial block stays zero), or nullptr on failure.
std::unique_ptr<unsigned char[]> CryptText(int direction, std::string_view keyText,
                                           const unsigned char* data, int32_t length);
std::unique_ptr<unsigned char[]> DecryptText(std::string_view keyText, const unsigned char* data,
                                             int32_t length);

}  // namespace corvane
