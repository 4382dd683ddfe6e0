// Base64 codec: groups of 3 bytes become 4 characters of the RFC 2045
// alphabet; a final group of 1 or 2 bytes is padded with zero bits and the
// characters standing for missing bytes are "=". Buffers are whole 4096-byte
// pages, zero-filled on every reserve, so the text is always zero-terminated.
#include "codec/base64.h"

#include <cstring>
#include <stdexcept>

#include "platform/secure_wipe.h"

namespace corvane {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Character -> 6-bit value, or -1 for characters outside the alphabet.
constexpr int SextetOf(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Largest request a reserve accepts; keeps the page rounding and the 2 x n
// text reserve of Encode inside 32 bits.
constexpr uint32_t kMaxReserve = 0x7FFFE000u;

template <typename T>
void Reserve(std::unique_ptr<T[]>& buffer, uint32_t& capacity, uint32_t& length, uint32_t n) {
  if (n > kMaxReserve) throw std::length_error("Base64 buffer too large");
  if (!buffer || capacity < n) {
    const uint32_t pages = n / CBase64::kPageSize + 1;
    // The buffers may hold a credential: overwritten before they are freed.
    if (buffer) SecureWipe(buffer.get(), capacity);
    buffer.reset();
    capacity = 0;
    buffer = std::make_unique<T[]>(static_cast<size_t>(pages) * CBase64::kPageSize);
    capacity = pages * CBase64::kPageSize;
  }
  std::memset(buffer.get(), 0, capacity);
  length = 0;
}

}  // namespace

CBase64::~CBase64() {
  if (m_bytes) SecureWipe(m_bytes.get(), m_byteCapacity);
  if (m_text) SecureWipe(m_text.get(), m_textCapacity);
}

std::string Base64Encode(std::string_view bytes) {
  if (bytes.size() > kMaxReserve / 2) throw std::length_error("Base64 input too large");
  CBase64 codec;
  codec.Encode(reinterpret_cast<const unsigned char*>(bytes.data()),
               static_cast<uint32_t>(bytes.size()));
  return std::string(codec.GetText(), codec.TextLength());
}

void CBase64::ReserveText(uint32_t n) { Reserve(m_text, m_textCapacity, m_textLength, n); }

void CBase64::ReserveBytes(uint32_t n) { Reserve(m_bytes, m_byteCapacity, m_byteLength, n); }

void CBase64::SetBytes(const unsigned char* bytes, uint32_t n) {
  ReserveBytes(n);
  if (n > 0) std::memcpy(m_bytes.get(), bytes, n);
  m_byteLength = n;
}

void CBase64::SetText(const char* text, uint32_t n) {
  ReserveText(n);
  uint32_t out = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!IsSpace(c)) m_text[out++] = static_cast<char>(c);
  }
  m_textLength = out;
}

void CBase64::SplitGroup(const unsigned char* in, unsigned char* sextets) {
  sextets[0] = static_cast<unsigned char>(in[0] >> 2);
  sextets[1] = static_cast<unsigned char>(((in[0] & 0x03) << 4) | (in[1] >> 4));
  sextets[2] = static_cast<unsigned char>(((in[1] & 0x0F) << 2) | (in[2] >> 6));
  sextets[3] = static_cast<unsigned char>(in[2] & 0x3F);
}

void CBase64::JoinGroup(const unsigned char* sextets, unsigned char* out) {
  out[0] = static_cast<unsigned char>((sextets[0] << 2) | (sextets[1] >> 4));
  out[1] = static_cast<unsigned char>(((sextets[1] & 0x0F) << 4) | (sextets[2] >> 2));
  out[2] = static_cast<unsigned char>(((sextets[2] & 0x03) << 6) | sextets[3]);
}

void CBase64::EncodeGroup(const unsigned char* in, uint32_t count, char* out) {
  unsigned char group[3] = {0, 0, 0};
  for (uint32_t i = 0; i < count && i < 3; ++i) group[i] = in[i];
  unsigned char sextets[4];
  SplitGroup(group, sextets);
  for (int i = 0; i < 4; ++i) out[i] = kAlphabet[sextets[i]];
  // 1 byte fills 2 characters, 2 bytes fill 3; the rest is padding.
  if (count < 3) out[3] = '=';
  if (count < 2) out[2] = '=';
}

uint32_t CBase64::DecodeGroup(const char* in, unsigned char* out) {
  unsigned char sextets[4] = {0, 0, 0, 0};
  uint32_t valid = 4;
  if (in[3] == '=') valid = (in[2] == '=') ? 2 : 3;
  for (uint32_t i = 0; i < 4; ++i) {
    if (i >= valid) {
      if (in[i] != '=') return 0;
      continue;
    }
    const int v = SextetOf(static_cast<unsigned char>(in[i]));
    if (v < 0) return 0;
    sextets[i] = static_cast<unsigned char>(v);
  }
  JoinGroup(sextets, out);
  return valid - 1;
}

void CBase64::EncodeText(const char* text) {
  Encode(reinterpret_cast<const unsigned char*>(text),
         text == nullptr ? 0 : static_cast<uint32_t>(std::strlen(text)));
}

void CBase64::Encode(const unsigned char* bytes, uint32_t n) {
  if (n > kMaxReserve / 2) throw std::length_error("Base64 input too large");
  SetBytes(bytes, n);
  ReserveText(2 * n);
  char* out = m_text.get();
  uint32_t i = 0;
  for (; i + 3 <= n; i += 3) {
    EncodeGroup(m_bytes.get() + i, 3, out + m_textLength);
    m_textLength += 4;
  }
  if (i < n) {
    EncodeGroup(m_bytes.get() + i, n - i, out + m_textLength);
    m_textLength += 4;
  }
}

bool CBase64::DecodeText(const char* text) {
  return Decode(text, text == nullptr ? 0 : static_cast<uint32_t>(std::strlen(text)));
}

bool CBase64::Decode(const char* text, uint32_t n) {
  SetText(text, n);
  const uint32_t length = m_textLength;
  ReserveBytes(length / 4 * 3);
  if (length % 4 != 0) return false;
  for (uint32_t i = 0; i < length; i += 4) {
    const uint32_t got = DecodeGroup(m_text.get() + i, m_bytes.get() + m_byteLength);
    // Padding may only close the last group.
    if (got == 0 || (got < 3 && i + 4 != length)) {
      ReserveBytes(0);
      return false;
    }
    m_byteLength += got;
  }
  // The bytes of a padded group beyond its count stay zero.
  std::memset(m_bytes.get() + m_byteLength, 0, m_byteCapacity - m_byteLength);
  return true;
}

}  // namespace corvane
