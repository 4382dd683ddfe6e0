// The block cipher family behind CryptText: DES, two-key triple DES (EDE) and
// the CBC mode that chains a wrapped cipher.
//
// Keys are byte strings of the cipher's key length; a key text is folded into
// one by taking its first key-length characters as bytes and padding a shorter
// text with zero bytes. DES keys get one adjustment before the schedule is
// made: every key byte with an even number of one bits has its top bit (0x80)
// inverted. The low bit of each byte is the one the key schedule drops, so the
// adjustment changes the effective key; the server's keys are made the same
// way, so it is part of the wire format.
//
// The DES core keeps a block as two 32-bit halves, both rotated left by one bit
// during the rounds, and combines each S-box with the P permutation into a table
// of 64 words (also rotated left by one bit), so that a round is eight lookups
// with the round key stored as two words of four 6-bit groups each.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string_view>

namespace corvane {

// Byte-array helpers; every one takes start offsets and a count.
void XorBytes(const unsigned char* a, int32_t aOff, const unsigned char* b, int32_t bOff,
              unsigned char* out, int32_t outOff, int32_t count);
void CopyBytes(const unsigned char* in, int32_t inOff, unsigned char* out, int32_t outOff,
               int32_t count);
void FillBytes(unsigned char* out, int32_t outOff, int32_t count, unsigned char value);
inline void ZeroBytes(unsigned char* out, int32_t outOff, int32_t count) {
  FillBytes(out, outOff, count, 0);
}
// Big-endian: byte 0 is the most significant byte of word 0.
void PackWords(const unsigned char* in, int32_t inOff, uint32_t* out, int32_t outOff,
               int32_t wordCount);
void UnpackWords(const uint32_t* in, int32_t inOff, unsigned char* out, int32_t outOff,
                 int32_t wordCount);

// Owns a key of a fixed length in bytes.
class CKeyedTransform {
 public:
  explicit CKeyedTransform(int32_t keyLength);
  virtual ~CKeyedTransform() = default;
  CKeyedTransform(const CKeyedTransform&) = delete;
  CKeyedTransform& operator=(const CKeyedTransform&) = delete;

  virtual int32_t GetKeyLength() const { return m_keyLength; }
  // Takes the key from a text: FoldKeyText, then whatever the cipher derives
  // from the key bytes.
  virtual void SetKeyText(std::string_view keyText);
  // Copies the first key-length characters of the text into the key buffer,
  // zero bytes for characters the text lacks.
  virtual void FoldKeyText(std::string_view keyText);

  const unsigned char* KeyBytes() const { return m_key.get(); }

 protected:
  int32_t m_keyLength;
  std::unique_ptr<unsigned char[]> m_key;
};

class CBlockCipher : public CKeyedTransform {
 public:
  CBlockCipher(int32_t keyLength, int32_t blockSize)
      : CKeyedTransform(keyLength), m_blockSize(blockSize) {}

  int32_t GetBlockSize() const { return m_blockSize; }

  void EncryptBlock(const unsigned char* in, unsigned char* out) { EncryptBlockAt(in, 0, out, 0); }
  void DecryptBlock(const unsigned char* in, unsigned char* out) { DecryptBlockAt(in, 0, out, 0); }
  virtual void EncryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                              int32_t outOff) = 0;
  virtual void DecryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                              int32_t outOff) = 0;

 protected:
  int32_t m_blockSize;
};

class CDes final : public CBlockCipher {
 public:
  static constexpr int32_t kKeyLength = 8;
  static constexpr int32_t kBlockSize = 8;

  // key: 8 bytes, taken before the parity adjustment.
  explicit CDes(const unsigned char* key);

  void SetKeyText(std::string_view keyText) override;
  void EncryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                      int32_t outOff) override;
  void DecryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                      int32_t outOff) override;

  // The key adjustment: inverts 0x80 of a byte with an even number of one bits.
  static unsigned char AdjustKeyByte(unsigned char b);

 private:
  void MakeSchedules();
  void Crypt(const std::array<uint32_t, 32>& schedule, const unsigned char* in, unsigned char* out);

  std::array<uint32_t, 32> m_encryptSchedule{};
  std::array<uint32_t, 32> m_decryptSchedule{};
  std::array<uint32_t, 2> m_work{};
};

// out = E(K1, D(K2, E(K1, in))); decryption is the inverse.
class CDesEde2 final : public CBlockCipher {
 public:
  static constexpr int32_t kKeyLength = 16;

  // key: 16 bytes, K1 then K2.
  explicit CDesEde2(const unsigned char* key);

  void SetKeyText(std::string_view keyText) override;
  void EncryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                      int32_t outOff) override;
  void DecryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                      int32_t outOff) override;

 private:
  std::unique_ptr<CDes> m_des1;
  std::unique_ptr<CDes> m_des2;
  std::array<unsigned char, 8> m_work1{};
  std::array<unsigned char, 8> m_work2{};
};

// Cipher block chaining over a cipher that the caller owns. The chaining
// register starts at zero (the initial vector) when the object is made.
class CCbcMode final : public CBlockCipher {
 public:
  explicit CCbcMode(CBlockCipher& cipher);

  int32_t GetKeyLength() const override { return m_cipher.GetKeyLength(); }
  // Rekeys the wrapped cipher and restarts the chain from the zero vector.
  void SetKeyText(std::string_view keyText) override;
  void EncryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                      int32_t outOff) override;
  void DecryptBlockAt(const unsigned char* in, int32_t inOff, unsigned char* out,
                      int32_t outOff) override;

  void SetEncryptLength(int32_t n) { m_encryptLength = n; }
  void SetDecryptLength(int32_t n) { m_decryptLength = n; }
  // Processes the first encrypt (decrypt) length bytes block by block and
  // returns a new buffer of length + 1 bytes: the processed blocks, zero bytes
  // for a final partial block, and a terminating zero. nullptr for a negative
  // length or a missing input with a positive length.
  std::unique_ptr<unsigned char[]> EncryptBuffer(const unsigned char* data);
  std::unique_ptr<unsigned char[]> DecryptBuffer(const unsigned char* data);

 private:
  template <bool kEncrypt>
  std::unique_ptr<unsigned char[]> CryptBuffer(const unsigned char* data, int32_t n);

  CBlockCipher& m_cipher;
  std::unique_ptr<unsigned char[]> m_register;
  std::unique_ptr<unsigned char[]> m_work;
  int32_t m_encryptLength = 0;
  int32_t m_decryptLength = 0;
};

}  // namespace corvane
