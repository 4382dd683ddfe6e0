// CryptText and DecryptText: two-key triple DES in CBC mode with a zero IV.
//
// The input is a key text (a length byte, 0..23, then the bytes: shorter keys
// are zero-padded, longer ones cut at 16) and data. Checked:
// - the result has length + 1 bytes, its last and the final partial block's
//   bytes zero (ASan sees a short buffer);
// - decrypting the encryption gives the whole blocks back;
// - on arbitrary ciphertext, encrypting the decryption gives the ciphertext's
//   whole blocks back (CBC is a bijection on whole blocks), so decryption
//   loses nothing whatever it is given;
// - the key is the first 16 characters: a key text with junk after them
//   decrypts alike;
// - a chain restarts per call: the first block does not depend on the rest.
#include <cstring>
#include <string>

#include "codec/des.h"
#include "fuzz/fuzz_support.h"

namespace {

using corvane::fuzz::InputReader;

std::string Crypt(int direction, std::string_view key, std::string_view text) {
  const auto out = corvane::CryptText(direction, key, corvane::fuzz::Bytes(text),
                                      static_cast<int32_t>(text.size()));
  FUZZ_CHECK(out != nullptr);
  const size_t n = text.size();
  FUZZ_CHECK(out[n] == 0);
  for (size_t i = n / 8 * 8; i < n; ++i) FUZZ_CHECK(out[i] == 0);
  return std::string(reinterpret_cast<const char*>(out.get()), n / 8 * 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const std::string_view key = in.Bytes(in.Byte() % 24);
  const std::string_view text = in.Rest();
  const std::string whole(text.substr(0, text.size() / 8 * 8));

  const std::string cipher = Crypt(1, key, text);
  FUZZ_CHECK(Crypt(0, key, cipher) == whole);

  const std::string plain = Crypt(0, key, text);
  FUZZ_CHECK(Crypt(1, key, plain) == whole);
  FUZZ_CHECK(corvane::DecryptText(key, corvane::fuzz::Bytes(text),
                                  static_cast<int32_t>(text.size()))[text.size()] == 0);

  if (key.size() >= 16) {
    const std::string longer = std::string(key.substr(0, 16)) + "junk after the key";
    FUZZ_CHECK(Crypt(0, longer, text) == plain);
  }
  if (whole.size() >= 8) FUZZ_CHECK(Crypt(1, key, whole.substr(0, 8)) == cipher.substr(0, 8));

  // Only the two directions exist.
  FUZZ_CHECK(corvane::CryptText(2, key, corvane::fuzz::Bytes(text),
                                static_cast<int32_t>(text.size())) == nullptr);
  return 0;
}
