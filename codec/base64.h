// Base64 (RFC 2045 alphabet, "=" padding, no line breaks).
//
// CBase64 is a small single-use codec object: it keeps a byte buffer and a
// text buffer, both zero-filled and sized in whole 4096-byte pages strictly
// larger than what is asked for, so the text it produces is always followed by
// at least one zero byte. Encoding reads bytes and writes text; decoding (not
// used by the component itself) reads text, skipping white space, and writes
// bytes. Base64Encode is the one-call form the component uses for its
// proxy credentials.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace corvane {

std::string Base64Encode(std::string_view bytes);

class CBase64 {
 public:
  static constexpr uint32_t kPageSize = 4096;

  CBase64() = default;
  // Both buffers are overwritten before they are freed: they may hold a
  // credential.
  virtual ~CBase64();
  CBase64(const CBase64&) = delete;
  CBase64& operator=(const CBase64&) = delete;

  // Encodes a zero-terminated text (its bytes before the zero).
  virtual void EncodeText(const char* text);
  // Encodes n bytes; the result is GetText() / TextLength().
  virtual void Encode(const unsigned char* bytes, uint32_t n);
  // Decodes a zero-terminated Base64 text. False when the text is not valid
  // Base64 (a character outside the alphabet, a length that is not a whole
  // number of groups after white space is left out, or misplaced "=");
  // the byte buffer then holds nothing.
  virtual bool DecodeText(const char* text);
  virtual bool Decode(const char* text, uint32_t n);

  // The byte buffer (decoding's result or encoding's input); nullptr before
  // the first use.
  virtual const unsigned char* GetBytes() const { return m_bytes.get(); }
  // The text buffer, zero-terminated; nullptr before the first use.
  virtual const char* GetText() const { return m_text.get(); }

  uint32_t ByteLength() const { return m_byteLength; }
  uint32_t TextLength() const { return m_textLength; }
  uint32_t ByteCapacity() const { return m_byteCapacity; }
  uint32_t TextCapacity() const { return m_textCapacity; }

  // Makes room for n characters or bytes: a buffer smaller than n (or none)
  // is replaced by one of (n / 4096 + 1) pages; the whole buffer is zeroed
  // and its length set to 0 in every case. Throws std::length_error past
  // 2 GiB.
  virtual void ReserveText(uint32_t n);
  virtual void ReserveBytes(uint32_t n);
  // Copies n characters into the text buffer, leaving out white space.
  virtual void SetText(const char* text, uint32_t n);
  // Copies n bytes into the byte buffer.
  virtual void SetBytes(const unsigned char* bytes, uint32_t n);

  // One group: up to 3 bytes to 4 characters ("=" for the missing bytes).
  static void EncodeGroup(const unsigned char* in, uint32_t count, char* out);
  // 4 characters to up to 3 bytes; returns the number of bytes (1 to 3), or
  // 0 when a character is not valid at its place.
  static uint32_t DecodeGroup(const char* in, unsigned char* out);
  // 3 bytes to four 6-bit values (the first byte's top six bits first), and back.
  static void SplitGroup(const unsigned char* in, unsigned char* sextets);
  static void JoinGroup(const unsigned char* sextets, unsigned char* out);
  // Bytes 7 to 13 and 32.
  static bool IsSpace(unsigned char c) { return (c >= 7 && c <= 13) || c == 32; }

 private:
  std::unique_ptr<unsigned char[]> m_bytes;
  std::unique_ptr<char[]> m_text;
  uint32_t m_byteCapacity = 0;
  uint32_t m_textCapacity = 0;
  uint32_t m_byteLength = 0;
  uint32_t m_textLength = 0;
};

}  // namespace corvane
