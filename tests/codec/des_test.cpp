// DES and the message cipher: published DES known answers for the core,
// OpenSSL's two-key triple DES in CBC mode as the oracle for whole messages
// (given the key bytes after the key adjustment, written out by hand), and the
// buffer contract of CryptText.
#include "codec/des.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/block_cipher.h"
#include "codec/keys.h"

#ifdef CORVANE_HAVE_OPENSSL
#include "openssl_des.h"
#endif

namespace corvane {
namespace {

std::vector<unsigned char> Hex(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::vector<unsigned char> Bytes(const unsigned char* p, size_t n) {
  return std::vector<unsigned char>(p, p + n);
}

// Keys below have odd parity in every byte, so the key adjustment leaves them.
TEST(Des, PublishedKnownAnswers) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Case cases[] = {
      {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
      {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},  // "Now is t"
      {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
      {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
  };
  for (const Case& c : cases) {
    const auto key = Hex(c.key);
    const auto plain = Hex(c.plain);
    CDes des(key.data());
    unsigned char out[8];
    des.EncryptBlock(plain.data(), out);
    EXPECT_EQ(Bytes(out, 8), Hex(c.cipher)) << c.key << " " << c.plain;
    unsigned char back[8];
    des.DecryptBlock(out, back);
    EXPECT_EQ(Bytes(back, 8), plain);
  }
}

TEST(Des, KeyAdjustmentInvertsTopBitOfEvenParityBytes) {
  struct Case {
    unsigned char in;
    unsigned char out;
  };
  const Case cases[] = {{0x33, 0xB3}, {0x31, 0x31}, {0x00, 0x80}, {0x80, 0x80}, {0xFF, 0x7F},
                        {0xFE, 0xFE}, {0x01, 0x01}, {0x03, 0x83}, {0xB3, 0xB3}};
  for (const Case& c : cases) EXPECT_EQ(CDes::AdjustKeyByte(c.in), c.out) << int{c.in};
}

TEST(Des, AdjustedTopBitEntersTheSchedule) {
  // 0x33 becomes 0xB3, which differs from 0x33 in a bit PC-1 keeps.
  const auto plain = Hex("0123456789ABCDEF");
  const unsigned char evenKey[8] = {0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33, 0x33};
  const unsigned char adjusted[8] = {0xB3, 0xB3, 0xB3, 0xB3, 0xB3, 0xB3, 0xB3, 0xB3};
  const unsigned char lowBitFlipped[8] = {0x32, 0x32, 0x32, 0x32, 0x32, 0x32, 0x32, 0x32};
  unsigned char a[8], b[8], c[8];
  CDes(evenKey).EncryptBlock(plain.data(), a);
  CDes(adjusted).EncryptBlock(plain.data(), b);
  CDes(lowBitFlipped).EncryptBlock(plain.data(), c);
  EXPECT_EQ(Bytes(a, 8), Bytes(b, 8));
  EXPECT_NE(Bytes(a, 8), Bytes(c, 8));  // 0x32 has odd parity: stays, differs in a kept bit
}

TEST(Des, SetKeyTextMatchesConstruction) {
  const std::string text = "7391046285730164";
  CDesEde2 built(reinterpret_cast<const unsigned char*>(text.data()));
  const unsigned char zeros[16] = {};
  CDesEde2 rekeyed(zeros);
  rekeyed.SetKeyText(text);
  const auto plain = Hex("00112233445566778899AABBCCDDEEFF");
  unsigned char a[8], b[8];
  built.EncryptBlock(plain.data(), a);
  rekeyed.EncryptBlock(plain.data(), b);
  EXPECT_EQ(Bytes(a, 8), Bytes(b, 8));
  EXPECT_EQ(rekeyed.GetKeyLength(), 16);

  CDes des(zeros);
  des.SetKeyText("0123");  // short text: zero bytes after it
  const unsigned char padded[8] = {'0', '1', '2', '3', 0, 0, 0, 0};
  EXPECT_EQ(Bytes(des.KeyBytes(), 8), Bytes(padded, 8));
}

#ifdef CORVANE_HAVE_OPENSSL
using test::AdjustedKey;
using test::OpenSslCrypt;

TEST(CryptText, MatchesOpenSslTwoKeyTripleDesCbc) {
  // Key texts and their key bytes after the adjustment, written out by hand.
  struct Case {
    std::string keyText;
    const char* adjustedKey;
  };
  const Case cases[] = {
      {std::string(g_strFixedKey), "37B3B931B034B63238B537B3B031B634"},
      {"7391046285730164XXXX", "37B3B931B034B63238B537B3B031B634"},  // past 16: ignored
      {"abcdefgh", "6162E364E5E667688080808080808080"},              // K2 all zero bytes
      {"", "80808080808080808080808080808080"},
      {"ABCDEFGHabcdefgh", "C1C243C44546C7C86162E364E5E66768"},
  };
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  for (const Case& c : cases) {
    const auto key = Hex(c.adjustedKey);
    // The property tests' oracle derives these bytes from the key text.
    EXPECT_EQ(AdjustedKey(c.keyText), key) << c.keyText;
    for (int blocks : {1, 2, 3, 16, 257}) {
      std::vector<unsigned char> plain(static_cast<size_t>(blocks) * 8);
      for (auto& b : plain) b = static_cast<unsigned char>(byte(rng));
      const auto expected = OpenSslCrypt(true, key, plain);

      auto encrypted = CryptText(1, c.keyText, plain.data(), static_cast<int32_t>(plain.size()));
      ASSERT_NE(encrypted, nullptr);
      EXPECT_EQ(Bytes(encrypted.get(), plain.size()), expected) << c.keyText << " " << blocks;
      EXPECT_EQ(encrypted[plain.size()], 0);

      auto decrypted =
          DecryptText(c.keyText, expected.data(), static_cast<int32_t>(expected.size()));
      ASSERT_NE(decrypted, nullptr);
      EXPECT_EQ(Bytes(decrypted.get(), plain.size()), plain) << c.keyText << " " << blocks;
      EXPECT_EQ(decrypted[plain.size()], 0);
    }
  }
}

TEST(CryptText, DecryptsOpenSslMessageWithEmbeddedZeros) {
  const auto key = Hex("37B3B931B034B63238B537B3B031B634");
  std::string message(
      "\x02"
      "70=10000|97=Logon success",
      26);
  message.push_back('\0');
  message.append("after zero");
  message.resize((message.size() + 7) / 8 * 8, '\0');
  const std::vector<unsigned char> plain(message.begin(), message.end());
  const auto cipher = OpenSslCrypt(true, key, plain);
  auto out = DecryptText(g_strFixedKey, cipher.data(), static_cast<int32_t>(cipher.size()));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(Bytes(out.get(), plain.size()), plain);
  EXPECT_STREQ(reinterpret_cast<const char*>(out.get()),
               "\x02"
               "70=10000|97=Logon success");
}
#endif

TEST(CryptText, LengthsAndPartialBlocks) {
  const std::string plain = "0123456789abcdefXYZ";  // 19 bytes
  const auto* p = reinterpret_cast<const unsigned char*>(plain.data());
  struct Case {
    int32_t length;
    int32_t processed;  // whole blocks
  };
  for (const Case c :
       {Case{0, 0}, Case{1, 0}, Case{7, 0}, Case{8, 8}, Case{12, 8}, Case{16, 16}, Case{19, 16}}) {
    auto enc = CryptText(1, g_strFixedKey, p, c.length);
    ASSERT_NE(enc, nullptr) << c.length;
    // Bytes of a final partial block and the terminator are zero.
    for (int32_t i = c.processed; i <= c.length; ++i) EXPECT_EQ(enc[i], 0) << c.length << " " << i;
    auto dec = DecryptText(g_strFixedKey, enc.get(), c.length);
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(std::memcmp(dec.get(), p, static_cast<size_t>(c.processed)), 0) << c.length;
    for (int32_t i = c.processed; i <= c.length; ++i) EXPECT_EQ(dec[i], 0) << c.length << " " << i;
  }
}

TEST(CryptText, RejectsBadArguments) {
  const unsigned char data[8] = {};
  EXPECT_EQ(CryptText(1, "k", data, -1), nullptr);
  EXPECT_EQ(DecryptText("k", data, -8), nullptr);
  EXPECT_EQ(DecryptText("k", nullptr, 8), nullptr);
  EXPECT_EQ(CryptText(2, "k", data, 8), nullptr);
  auto empty = DecryptText("k", nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty[0], 0);
}

TEST(CryptText, EachCallChainsFromTheZeroVector) {
  const std::string block(8, 'A');
  const std::string twice = block + block;
  const auto* p = reinterpret_cast<const unsigned char*>(twice.data());
  auto first = CryptText(1, g_strFixedKey, p, 8);
  auto second = CryptText(1, g_strFixedKey, p, 8);
  auto both = CryptText(1, g_strFixedKey, p, 16);
  EXPECT_EQ(Bytes(first.get(), 8), Bytes(second.get(), 8));
  EXPECT_EQ(Bytes(both.get(), 8), Bytes(first.get(), 8));
  EXPECT_NE(Bytes(both.get() + 8, 8), Bytes(both.get(), 8));  // chained, not ECB
}

TEST(CryptText, CbcDecryptsInPlace) {
  const std::string text = "sixteen byte msg";
  auto enc = CryptText(1, g_strFixedKey, reinterpret_cast<const unsigned char*>(text.data()), 16);
  unsigned char key[16];
  std::memcpy(key, g_strFixedKey.data(), 16);
  CDesEde2 ede(key);
  CCbcMode cbc(ede);
  for (int off = 0; off < 16; off += 8) cbc.DecryptBlockAt(enc.get(), off, enc.get(), off);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(enc.get()), 16), text);
}

TEST(CryptText, KeyTextFoldingRules) {
  const std::string text = "0123456789abcdef0123456789abcdef";
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  auto k16 = CryptText(1, "ABCDEFGHIJKLMNOP", p, 32);
  auto k20 = CryptText(1, "ABCDEFGHIJKLMNOPQRST", p, 32);
  EXPECT_EQ(Bytes(k16.get(), 32), Bytes(k20.get(), 32));
  // Missing characters are zero bytes.
  auto k8 = CryptText(1, "ABCDEFGH", p, 32);
  auto k8z = CryptText(1, std::string_view("ABCDEFGH\0\0\0\0\0\0\0\0", 16), p, 32);
  EXPECT_EQ(Bytes(k8.get(), 32), Bytes(k8z.get(), 32));
  EXPECT_NE(Bytes(k8.get(), 32), Bytes(k16.get(), 32));
}

}  // namespace
}  // namespace corvane
