#include "tools/common/cipher.h"

#include <cstdint>
#include <stdexcept>

#include "codec/des.h"

namespace corvane::tools {

std::string ComponentEncipher(std::string_view keyText, std::string_view blocks) {
  auto cipher = CryptText(1, keyText, reinterpret_cast<const unsigned char*>(blocks.data()),
                          static_cast<int32_t>(blocks.size()));
  if (!cipher) throw std::runtime_error("encryption failed");
  return std::string(reinterpret_cast<const char*>(cipher.get()), blocks.size());
}

}  // namespace corvane::tools
