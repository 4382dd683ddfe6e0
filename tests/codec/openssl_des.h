// OpenSSL's triple DES in CBC mode as the oracle for the message cipher, the
// key bytes a key text gives after the key adjustment, and the wire encoder's
// enciphering step (protocol/encoder.h) done by OpenSSL.
#pragma once

#include <openssl/evp.h>

#include <bit>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::test {

// Characters 1 to 16 of the key text (missing ones zero bytes, later ones
// ignored), each byte with an even number of one bits getting its top bit
// inverted: K1 then K2 as the cipher uses them.
inline std::vector<unsigned char> AdjustedKey(std::string_view keyText) {
  std::vector<unsigned char> key(16, 0);
  for (size_t i = 0; i < key.size() && i < keyText.size(); ++i) {
    key[i] = static_cast<unsigned char>(keyText[i]);
  }
  for (unsigned char& b : key) {
    if (std::popcount(b) % 2 == 0) b ^= 0x80;
  }
  return key;
}

// CBC from a zero vector, no padding: two-key triple DES for 16 key bytes,
// three-key for 24. Throws when OpenSSL fails.
inline std::vector<unsigned char> OpenSslCrypt(bool encrypt, const std::vector<unsigned char>& key,
                                               const std::vector<unsigned char>& data) {
  const EVP_CIPHER* cipher = key.size() == 24 ? EVP_des_ede3_cbc() : EVP_des_ede_cbc();
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  const unsigned char iv[8] = {};
  if (!ctx || static_cast<int>(key.size()) != EVP_CIPHER_key_length(cipher) ||
      EVP_CipherInit_ex(ctx.get(), cipher, nullptr, key.data(), iv, encrypt ? 1 : 0) != 1) {
    throw std::runtime_error("OpenSSL cipher setup failed");
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::vector<unsigned char> out(data.size() + 16);
  int len = 0;
  int tail = 0;
  if (EVP_CipherUpdate(ctx.get(), out.data(), &len, data.data(), static_cast<int>(data.size())) !=
          1 ||
      EVP_CipherFinal_ex(ctx.get(), out.data() + len, &tail) != 1) {
    throw std::runtime_error("OpenSSL cipher failed");
  }
  out.resize(static_cast<size_t>(len + tail));
  return out;
}

// Two-key triple DES of the key text over whole blocks, CBC from a zero
// vector: a wire::Encipher independent of the component's cipher, and its
// inverse.
inline std::string OpenSslEncipher(std::string_view keyText, std::string_view blocks) {
  const std::vector<unsigned char> out = OpenSslCrypt(
      true, AdjustedKey(keyText), std::vector<unsigned char>(blocks.begin(), blocks.end()));
  return std::string(out.begin(), out.end());
}

inline std::string OpenSslDecipher(std::string_view keyText, std::string_view blocks) {
  const std::vector<unsigned char> out = OpenSslCrypt(
      false, AdjustedKey(keyText), std::vector<unsigned char>(blocks.begin(), blocks.end()));
  return std::string(out.begin(), out.end());
}

}  // namespace corvane::test
