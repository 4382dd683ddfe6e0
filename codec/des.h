// Two-key triple DES (EDE) in CBC mode with a zero IV restarted per message.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

namespace corvane {

// direction 1 encrypts, 0 decrypts. The key text gives K1 (characters 1 to 8)
// and K2 (9 to 16); missing characters are zero bytes, later ones are ignored.
// Returns a buffer of length + 1 bytes (the last one zero; a final partial
// block stays zero), or nullptr on failure: out of memory, another direction,
// a negative length, or no data with a positive length.
std::unique_ptr<unsigned char[]> CryptText(int direction, std::string_view keyText,
                                           const unsigned char* data, int32_t length);
std::unique_ptr<unsigned char[]> DecryptText(std::string_view keyText, const unsigned char* data,
                                             int32_t length);

}  // namespace corvane
