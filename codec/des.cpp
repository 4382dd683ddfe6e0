// DES (FIPS 46), two-key triple DES and CBC mode, and CryptText on top.
//
// The FIPS 46 tables below are the only hand-written ones. At first use they
// are turned into the fast-form tables: IP and its inverse as eight 256-entry
// tables (one per input byte) of 64-bit masks, and S-box-with-P tables of 64
// words each, rotated left by one bit because the rounds keep both halves
// rotated by one bit. With R' = rotl(R, 1), the eight 6-bit groups of E(R) sit
// at shifts 24, 16, 8, 0 of rotr(R', 4) (groups 1, 3, 5, 7 counted from 1)
// and of R' itself (groups 2, 4, 6, 8), so a round key is kept as those two
// words.
//
// Message format of CryptText: CBC with an all-zero vector, restarted per
// call; the length is taken as given (zero bytes are data); only whole 8-byte
// blocks are processed, the bytes of a final partial block come out as zero;
// nothing is padded or unpadded.
#include "codec/des.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "codec/block_cipher.h"

namespace corvane {

namespace {

// FIPS 46 tables, 1-based bit numbers with bit 1 the most significant.
constexpr uint8_t kIp[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                             62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                             57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                             61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                            2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

constexpr uint8_t kPc1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                              10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                              63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                              14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr uint8_t kPc2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,
                              26, 8,  16, 7,  27, 20, 13, 2,  41, 52, 31, 37, 47, 55, 30, 40,
                              51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr uint8_t kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint8_t kSBox[8][4][16] = {{{14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7},
                                      {0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8},
                                      {4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0},
                                      {15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13}},
                                     {{15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10},
                                      {3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5},
                                      {0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15},
                                      {13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9}},
                                     {{10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8},
                                      {13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1},
                                      {13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7},
                                      {1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12}},
                                     {{7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15},
                                      {13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9},
                                      {10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4},
                                      {3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14}},
                                     {{2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9},
                                      {14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6},
                                      {4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14},
                                      {11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3}},
                                     {{12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11},
                                      {10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8},
                                      {9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6},
                                      {4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13}},
                                     {{4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1},
                                      {13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6},
                                      {1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2},
                                      {6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12}},
                                     {{13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7},
                                      {1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2},
                                      {7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8},
                                      {2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}}};

// Each S-box row is a permutation of 0..15, and IP and P are permutations: a
// slip in the tables above fails the build.
constexpr bool TablesAreSound() {
  for (const auto& box : kSBox) {
    for (const auto& row : box) {
      unsigned seen = 0;
      for (uint8_t v : row) seen |= 1u << v;
      if (seen != 0xFFFFu) return false;
    }
  }
  uint64_t ip = 0;
  for (uint8_t v : kIp) ip |= uint64_t{1} << (v - 1);
  uint64_t p = 0;
  for (uint8_t v : kP) p |= uint64_t{1} << (v - 1);
  return ip == ~uint64_t{0} && p == 0xFFFFFFFFu;
}
static_assert(TablesAreSound(), "DES tables damaged");

constexpr uint32_t Rotl(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }
constexpr uint32_t Rotr(uint32_t v, int n) { return (v >> n) | (v << (32 - n)); }

// Bit n (1-based, bit 1 most significant) of a value of the given width.
constexpr uint64_t Bit(uint64_t v, int width, int n) { return (v >> (width - n)) & 1; }

struct FastTables {
  uint32_t sp[8][64];
  uint64_t ip[8][256];
  uint64_t fp[8][256];
};

// A 64-bit permutation (out bit n = in bit table[n]) as per-byte masks.
void BuildPermutation(const uint8_t (&table)[64], uint64_t (&out)[8][256]) {
  uint64_t maskOfInputBit[64] = {};
  for (int n = 0; n < 64; ++n) maskOfInputBit[table[n] - 1] = uint64_t{1} << (63 - n);
  for (int byte = 0; byte < 8; ++byte) {
    for (int v = 0; v < 256; ++v) {
      uint64_t m = 0;
      for (int k = 0; k < 8; ++k) {
        if (v & (0x80 >> k)) m |= maskOfInputBit[byte * 8 + k];
      }
      out[byte][v] = m;
    }
  }
}

FastTables BuildFastTables() {
  FastTables t{};
  for (int box = 0; box < 8; ++box) {
    for (int g = 0; g < 64; ++g) {
      const int row = ((g >> 4) & 2) | (g & 1);
      const int col = (g >> 1) & 15;
      const uint32_t s = static_cast<uint32_t>(kSBox[box][row][col]) << (28 - 4 * box);
      uint32_t p = 0;
      for (int n = 1; n <= 32; ++n) p |= static_cast<uint32_t>(Bit(s, 32, kP[n - 1])) << (32 - n);
      t.sp[box][g] = Rotl(p, 1);
    }
  }
  uint8_t inverse[64] = {};
  for (int n = 1; n <= 64; ++n) inverse[kIp[n - 1] - 1] = static_cast<uint8_t>(n);
  BuildPermutation(kIp, t.ip);
  BuildPermutation(inverse, t.fp);
  return t;
}

const FastTables& Tables() {
  static const FastTables tables = BuildFastTables();
  return tables;
}

uint64_t Permute(const uint64_t (&table)[8][256], uint64_t v) {
  uint64_t out = 0;
  for (int byte = 0; byte < 8; ++byte) out |= table[byte][(v >> (56 - 8 * byte)) & 0xFF];
  return out;
}

}  // namespace

// ---- Byte-array helpers ----

void XorBytes(const unsigned char* a, int32_t aOff, const unsigned char* b, int32_t bOff,
              unsigned char* out, int32_t outOff, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    out[outOff + i] = static_cast<unsigned char>(a[aOff + i] ^ b[bOff + i]);
  }
}

void CopyBytes(const unsigned char* in, int32_t inOff, unsigned char* out, int32_t outOff,
               int32_t count) {
  if (count > 0) std::memmove(out + outOff, in + inOff, static_cast<size_t>(count));
}

void FillBytes(unsigned char* out, int32_t outOff, int32_t count, unsigned char value) {
  if (count > 0) std::memset(out + outOff, value, static_cast<size_t>(count));
}

void PackWords(const unsigned char* in, int32_t inOff, uint32_t* out, int32_t outOff,
               int32_t wordCount) {
  for (int32_t w = 0; w < wordCount; ++w) {
    const unsigned char* b = in + inOff + 4 * w;
    out[outOff + w] =
        (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
  }
}

void UnpackWords(const uint32_t* in, int32_t inOff, unsigned char* out, int32_t outOff,
                 int32_t wordCount) {
  for (int32_t w = 0; w < wordCount; ++w) {
    const uint32_t v = in[inOff + w];
    unsigned char* b = out + outOff + 4 * w;
    b[0] = static_cast<unsigned char>(v >> 24);
    b[1] = static_cast<unsigned char>(v >> 16);
    b[2] = static_cast<unsigned char>(v >> 8);
    b[3] = static_cast<unsigned char>(v);
  }
}

// ---- CKeyedTransform ----

CKeyedTransform::CKeyedTransform(int32_t keyLength)
    : m_keyLength(keyLength),
      m_key(std::make_unique<unsigned char[]>(static_cast<size_t>(std::max(keyLength, 0)))) {}

void CKeyedTransform::SetKeyText(std::string_view keyText) { FoldKeyText(keyText); }

void CKeyedTransform::FoldKeyText(std::string_view keyText) {
  const size_t length = static_cast<size_t>(std::max(m_keyLength, 0));
  const size_t take = std::min(length, keyText.size());
  std::memset(m_key.get(), 0, length);
  if (take > 0) std::memcpy(m_key.get(), keyText.data(), take);
}

// ---- CDes ----

unsigned char CDes::AdjustKeyByte(unsigned char b) {
  int ones = 0;
  for (unsigned v = b; v != 0; v >>= 1) ones += static_cast<int>(v & 1);
  return (ones % 2 == 0) ? static_cast<unsigned char>(b ^ 0x80) : b;
}

CDes::CDes(const unsigned char* key) : CBlockCipher(kKeyLength, kBlockSize) {
  CopyBytes(key, 0, m_key.get(), 0, kKeyLength);
  MakeSchedules();
}

void CDes::SetKeyText(std::string_view keyText) {
  CBlockCipher::SetKeyText(keyText);
  MakeSchedules();
}

void CDes::MakeSchedules() {
  uint64_t key = 0;
  for (int i = 0; i < kKeyLength; ++i) key = (key << 8) | AdjustKeyByte(m_key[i]);

  uint64_t cd = 0;  // PC-1: 56 bits, C the upper 28 and D the lower 28.
  for (int n = 1; n <= 56; ++n) cd |= Bit(key, 64, kPc1[n - 1]) << (56 - n);
  uint32_t c = static_cast<uint32_t>(cd >> 28) & 0x0FFFFFFF;
  uint32_t d = static_cast<uint32_t>(cd) & 0x0FFFFFFF;

  for (int round = 0; round < 16; ++round) {
    for (int s = 0; s < kShifts[round]; ++s) {
      c = ((c << 1) | (c >> 27)) & 0x0FFFFFFF;
      d = ((d << 1) | (d >> 27)) & 0x0FFFFFFF;
    }
    const uint64_t joined = (uint64_t{c} << 28) | d;
    uint64_t k = 0;  // PC-2: 48 bits, eight 6-bit groups.
    for (int n = 1; n <= 48; ++n) k |= Bit(joined, 56, kPc2[n - 1]) << (48 - n);
    uint32_t group[8];
    for (int g = 0; g < 8; ++g) group[g] = static_cast<uint32_t>(k >> (42 - 6 * g)) & 0x3F;
    // Word 0 meets rotr(R', 4): groups 1, 3, 5, 7; word 1 meets R': groups 2, 4, 6, 8.
    m_encryptSchedule[2 * round] = (group[0] << 24) | (group[2] << 16) | (group[4] << 8) | group[6];
    m_encryptSchedule[2 * round + 1] =
        (group[1] << 24) | (group[3] << 16) | (group[5] << 8) | group[7];
  }
  for (int round = 0; round < 16; ++round) {
    m_decryptSchedule[2 * round] = m_encryptSchedule[2 * (15 - round)];
    m_decryptSchedule[2 * round + 1] = m_encryptSchedule[2 * (15 - round) + 1];
  }
}

void CDes::Crypt(const std::array<uint32_t, 32>& schedule, const unsigned char* in,
                 unsigned char* out) {
  const FastTables& t = Tables();
  PackWords(in, 0, m_work.data(), 0, 2);
  const uint64_t block = Permute(t.ip, (uint64_t{m_work[0]} << 32) | m_work[1]);
  uint32_t l = Rotl(static_cast<uint32_t>(block >> 32), 1);
  uint32_t r = Rotl(static_cast<uint32_t>(block), 1);
  for (int round = 0; round < 16; ++round) {
    uint32_t w = Rotr(r, 4) ^ schedule[2 * round];
    uint32_t f = t.sp[0][(w >> 24) & 0x3F] ^ t.sp[2][(w >> 16) & 0x3F] ^ t.sp[4][(w >> 8) & 0x3F] ^
                 t.sp[6][w & 0x3F];
    w = r ^ schedule[2 * round + 1];
    f ^= t.sp[1][(w >> 24) & 0x3F] ^ t.sp[3][(w >> 16) & 0x3F] ^ t.sp[5][(w >> 8) & 0x3F] ^
         t.sp[7][w & 0x3F];
    l ^= f;
    std::swap(l, r);
  }
  // The last round does not swap: the pre-output block is R16 L16.
  const uint64_t pre = (uint64_t{Rotr(r, 1)} << 32) | Rotr(l, 1);
  const uint64_t result = Permute(t.fp, pre);
  m_work[0] = static_cast<uint32_t>(result >> 32);
  m_work[1] = static_cast<uint32_t>(result);
  UnpackWords(m_work.data(), 0, out, 0, 2);
}

void CDes::EncryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                          int32_t outOff) {
  Crypt(m_encryptSchedule, in + inOff, out + outOff);
}

void CDes::DecryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                          int32_t outOff) {
  Crypt(m_decryptSchedule, in + inOff, out + outOff);
}

// ---- CDesEde2 ----

CDesEde2::CDesEde2(const unsigned char* key)
    : CBlockCipher(kKeyLength, CDes::kBlockSize),
      m_des1(std::make_unique<CDes>(key)),
      m_des2(std::make_unique<CDes>(key + CDes::kKeyLength)) {
  CopyBytes(key, 0, m_key.get(), 0, kKeyLength);
}

void CDesEde2::SetKeyText(std::string_view keyText) {
  CBlockCipher::SetKeyText(keyText);
  m_des1 = std::make_unique<CDes>(m_key.get());
  m_des2 = std::make_unique<CDes>(m_key.get() + CDes::kKeyLength);
}

void CDesEde2::EncryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                              int32_t outOff) {
  m_des1->EncryptBlockAt(in, inOff, m_work1.data(), 0);
  m_des2->DecryptBlockAt(m_work1.data(), 0, m_work2.data(), 0);
  m_des1->EncryptBlockAt(m_work2.data(), 0, out, outOff);
}

void CDesEde2::DecryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                              int32_t outOff) {
  m_des1->DecryptBlockAt(in, inOff, m_work1.data(), 0);
  m_des2->EncryptBlockAt(m_work1.data(), 0, m_work2.data(), 0);
  m_des1->DecryptBlockAt(m_work2.data(), 0, out, outOff);
}

// ---- CCbcMode ----

CCbcMode::CCbcMode(CBlockCipher& cipher)
    : CBlockCipher(cipher.GetKeyLength(), cipher.GetBlockSize()),
      m_cipher(cipher),
      m_register(std::make_unique<unsigned char[]>(static_cast<size_t>(m_blockSize) + 1)),
      m_work(std::make_unique<unsigned char[]>(static_cast<size_t>(m_blockSize))) {}

void CCbcMode::SetKeyText(std::string_view keyText) {
  CBlockCipher::SetKeyText(keyText);
  m_cipher.SetKeyText(keyText);
  ZeroBytes(m_register.get(), 0, m_blockSize + 1);
}

void CCbcMode::EncryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                              int32_t outOff) {
  XorBytes(in, inOff, m_register.get(), 0, m_work.get(), 0, m_blockSize);
  m_cipher.EncryptBlockAt(m_work.get(), 0, m_register.get(), 0);
  CopyBytes(m_register.get(), 0, out, outOff, m_blockSize);
}

void CCbcMode::DecryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                              int32_t outOff) {
  // in and out may be the same bytes: the ciphertext becomes the register
  // before the plaintext is written.
  m_cipher.DecryptBlockAt(in, inOff, m_work.get(), 0);
  XorBytes(m_work.get(), 0, m_register.get(), 0, m_work.get(), 0, m_blockSize);
  CopyBytes(in, inOff, m_register.get(), 0, m_blockSize);
  CopyBytes(m_work.get(), 0, out, outOff, m_blockSize);
}

template <bool kEncrypt>
std::unique_ptr<unsigned char[]> CCbcMode::CryptBuffer(const unsigned char* data, int32_t n) {
  if (n < 0 || (data == nullptr && n > 0)) return nullptr;
  auto out = std::make_unique<unsigned char[]>(static_cast<size_t>(n) + 1);  // zero-filled
  for (int32_t off = 0; n - off >= m_blockSize; off += m_blockSize) {
    if constexpr (kEncrypt) {
      EncryptBlockAt(data, off, out.get(), off);
    } else {
      DecryptBlockAt(data, off, out.get(), off);
    }
  }
  return out;
}

std::unique_ptr<unsigned char[]> CCbcMode::EncryptBuffer(const unsigned char* data) {
  return CryptBuffer<true>(data, m_encryptLength);
}

std::unique_ptr<unsigned char[]> CCbcMode::DecryptBuffer(const unsigned char* data) {
  return CryptBuffer<false>(data, m_decryptLength);
}

// ---- Text operations ----

std::unique_ptr<unsigned char[]> CryptText(int direction, std::string_view keyText,
                                           const unsigned char* data, int32_t length) {
  try {
    if (direction != 0 && direction != 1) return nullptr;
    unsigned char key[CDesEde2::kKeyLength] = {};
    const size_t take = std::min(sizeof key, keyText.size());
    if (take > 0) std::memcpy(key, keyText.data(), take);
    CDesEde2 ede(key);
    CCbcMode cbc(ede);
    if (direction == 1) {
      cbc.SetEncryptLength(length);
      return cbc.EncryptBuffer(data);
    }
    cbc.SetDecryptLength(length);
    return cbc.DecryptBuffer(data);
  } catch (...) {
    return nullptr;
  }
}

std::unique_ptr<unsigned char[]> DecryptText(std::string_view keyText, const unsigned char* data,
                                             int32_t length) {
  return CryptText(0, keyText, data, length);
}

}  // namespace corvane
