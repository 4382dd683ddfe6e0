// The cipher that the tests, benchmarks and fuzz targets encipher server
// streams with (the encoder's wire::Encipher, protocol/encoder.h): OpenSSL's
// two-key triple DES, independent of the component's, so that the receive
// side's deciphering is checked against another implementation. A build
// without OpenSSL (the Windows cross build) uses the component's own
// CryptText instead, which the native codec tests check against OpenSSL.
#pragma once

#include <string>
#include <string_view>

#ifdef CORVANE_HAVE_OPENSSL
#include "tests/codec/openssl_des.h"
#else
#include <cstdint>
#include <stdexcept>

#include "codec/des.h"
#endif

namespace corvane::test {

inline std::string StreamEncipher(std::string_view keyText, std::string_view blocks) {
#ifdef CORVANE_HAVE_OPENSSL
  return OpenSslEncipher(keyText, blocks);
#else
  const auto out = CryptText(1, keyText, reinterpret_cast<const unsigned char*>(blocks.data()),
                             static_cast<int32_t>(blocks.size()));
  if (!out) throw std::runtime_error("encryption failed");
  return std::string(reinterpret_cast<const char*>(out.get()), blocks.size());
#endif
}

}  // namespace corvane::test
