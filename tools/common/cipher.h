// The sandbox back end's enciphering step for the encoder (protocol/encoder.h):
// the component's own two-key triple DES (codec/des.h), so that the back end
// needs no cipher library of its own.
#pragma once

#include <string>
#include <string_view>

namespace corvane::tools {

// A wire::Encipher: CryptText's encrypting direction over whole 8-byte blocks.
// Throws std::runtime_error when CryptText fails.
std::string ComponentEncipher(std::string_view keyText, std::string_view blocks);

}  // namespace corvane::tools
