// The message cipher as invariants over generated keys and messages: decryption
// undoes encryption, a final partial block neither changes the whole blocks nor
// comes out enciphered, and (with OpenSSL) both directions equal three-key
// triple DES in CBC mode under K1, K2, K1.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "codec/des.h"

#ifdef CORVANE_HAVE_OPENSSL
#include "openssl_des.h"
#endif

namespace corvane {
namespace {

using Bytes = std::vector<unsigned char>;

// The result of a CryptText call as length + 1 bytes (the terminating zero
// included).
Bytes Crypt(int direction, std::string_view key, const Bytes& data) {
  const auto out = CryptText(direction, key, data.data(), static_cast<int32_t>(data.size()));
  RC_ASSERT(out != nullptr);
  return Bytes(out.get(), out.get() + data.size() + 1);
}

Bytes Decrypt(std::string_view key, const Bytes& data) {
  const auto out = DecryptText(key, data.data(), static_cast<int32_t>(data.size()));
  RC_ASSERT(out != nullptr);
  return Bytes(out.get(), out.get() + data.size() + 1);
}

Bytes Terminated(Bytes b) {
  b.push_back(0);
  return b;
}

rc::Gen<std::string> KeyText() {
  return rc::gen::container<std::string>(16, rc::gen::arbitrary<char>());
}

// Up to 64 whole blocks of any bytes.
rc::Gen<Bytes> WholeBlocks() {
  return rc::gen::mapcat(rc::gen::inRange<size_t>(0, 65), [](size_t blocks) {
    return rc::gen::container<Bytes>(blocks * 8, rc::gen::arbitrary<unsigned char>());
  });
}

RC_GTEST_PROP(CryptProperty, DecryptionUndoesEncryption, ()) {
  const auto key = *KeyText();
  const auto plain = *WholeBlocks();
  const Bytes cipher = Crypt(1, key, plain);
  RC_ASSERT(cipher.back() == 0);
  const Bytes enciphered(cipher.begin(), cipher.end() - 1);
  RC_ASSERT(Decrypt(key, enciphered) == Terminated(plain));
  RC_ASSERT(Crypt(0, key, enciphered) == Terminated(plain));
}

// Any length: the whole blocks come out as they do without the partial block
// after them, and the partial block's bytes and the terminator are zero.
RC_GTEST_PROP(CryptProperty, PartialFinalBlockStaysZero, ()) {
  const auto key = *KeyText();
  const auto data = *rc::gen::container<Bytes>(rc::gen::arbitrary<unsigned char>());
  const size_t whole = data.size() / 8 * 8;
  const Bytes blocks(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(whole));
  for (int direction : {0, 1}) {
    const Bytes out = Crypt(direction, key, data);
    const Bytes blocksOut = Crypt(direction, key, blocks);
    RC_ASSERT(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(whole)) ==
              Bytes(blocksOut.begin(), blocksOut.end() - 1));
    for (size_t i = whole; i < out.size(); ++i) RC_ASSERT(out[i] == 0);
  }
}

#ifdef CORVANE_HAVE_OPENSSL
// Key texts of any length up to 24 characters (past 16 they are ignored,
// missing characters are zero bytes) and any whole blocks.
RC_GTEST_PROP(CryptProperty, MatchesOpenSslThreeKeyCbcUnderK1K2K1, ()) {
  const auto keyLength = *rc::gen::inRange<size_t>(0, 25);
  const auto keyText = *rc::gen::container<std::string>(keyLength, rc::gen::arbitrary<char>());
  const auto plain = *WholeBlocks();
  const Bytes k = test::AdjustedKey(keyText);
  Bytes k1k2k1(k);
  k1k2k1.insert(k1k2k1.end(), k.begin(), k.begin() + 8);

  const Bytes expected = test::OpenSslCrypt(true, k1k2k1, plain);
  RC_ASSERT(Crypt(1, keyText, plain) == Terminated(expected));
  RC_ASSERT(Decrypt(keyText, expected) == Terminated(plain));
  // Decrypting bytes that no encryption made.
  RC_ASSERT(Decrypt(keyText, plain) == Terminated(test::OpenSslCrypt(false, k1k2k1, plain)));
}
#endif

}  // namespace
}  // namespace corvane
