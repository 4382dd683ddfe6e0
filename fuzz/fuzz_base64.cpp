// CBase64 both ways.
//
// Encoding arbitrary bytes: 4 characters per started group of 3, only the
// alphabet and the padding the count leaves, the text zero-terminated inside
// its buffer, and decoding gives the bytes back; Base64Encode agrees.
// Decoding arbitrary text (up to its first zero byte): when accepted, the
// bytes re-encode to a text that decodes to the same bytes (the original may
// have carried non-zero bits in a last character's unused part), and the text
// without white space has 4 characters per group of 3 bytes.
#include <cstring>
#include <string>

#include "codec/base64.h"
#include "fuzz/fuzz_support.h"

namespace {

using corvane::fuzz::InputReader;

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Encode(std::string_view bytes) {
  corvane::CBase64 codec;
  codec.Encode(corvane::fuzz::Bytes(bytes), static_cast<uint32_t>(bytes.size()));
  const uint32_t n = codec.TextLength();
  FUZZ_CHECK(n == (bytes.size() + 2) / 3 * 4);
  FUZZ_CHECK(codec.TextCapacity() > n && codec.GetText()[n] == '\0');
  const std::string text(codec.GetText(), n);
  const size_t pad = (3 - bytes.size() % 3) % 3;
  for (size_t i = 0; i < n; ++i) {
    if (i >= n - pad)
      FUZZ_CHECK(text[i] == '=');
    else
      FUZZ_CHECK(kAlphabet.find(text[i]) != std::string_view::npos);
  }
  return text;
}

bool Decode(const std::string& text, std::string& bytes) {
  corvane::CBase64 codec;
  if (!codec.DecodeText(text.c_str())) {
    FUZZ_CHECK(codec.ByteLength() == 0);
    return false;
  }
  bytes.assign(reinterpret_cast<const char*>(codec.GetBytes()), codec.ByteLength());
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const bool decodeFirst = in.Bit();
  const std::string_view input = in.Rest();
  if (!decodeFirst) {
    const std::string text = Encode(input);
    FUZZ_CHECK(corvane::Base64Encode(input) == text);
    std::string back;
    FUZZ_CHECK(Decode(text, back));
    FUZZ_CHECK(back == input);
    return 0;
  }
  const std::string text(input.substr(0, input.find('\0')));
  std::string bytes;
  if (!Decode(text, bytes)) return 0;
  size_t significant = 0;
  for (char c : text)
    if (!corvane::CBase64::IsSpace(static_cast<unsigned char>(c))) ++significant;
  FUZZ_CHECK(significant == (bytes.size() + 2) / 3 * 4);
  std::string again;
  FUZZ_CHECK(Decode(Encode(bytes), again));
  FUZZ_CHECK(again == bytes);
  return 0;
}
