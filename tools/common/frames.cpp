// Response and frame encoders: see frames.h for the wire formats.
#include "tools/common/frames.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>

#include "codec/des.h"
#include "codec/keys.h"

namespace corvane::tools {

namespace {

std::string Digits5(size_t n) {
  if (n > kMaxFramePayload) throw std::length_error("frame payload longer than 99999 bytes");
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05u", static_cast<unsigned>(n));
  return std::string(digits, wire::kFrameLengthDigits);
}

std::string Deflate(std::string_view bytes, int level) {
  uLongf capacity = compressBound(static_cast<uLong>(bytes.size()));
  std::string out(capacity, '\0');
  int rc = compress2(reinterpret_cast<Bytef*>(out.data()), &capacity,
                     reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()),
                     level);
  if (rc != Z_OK) throw std::runtime_error("zlib compress2 failed");
  out.resize(capacity);
  return out;
}

// marker, five digits of the payload length, payload.
std::string Frame(unsigned char marker, std::string_view payload) {
  std::string frame;
  frame.reserve(wire::kFramePrefix + payload.size());
  frame.push_back(static_cast<char>(marker));
  frame += Digits5(payload.size());
  frame.append(payload);
  return frame;
}

std::string WithHeader(std::string_view body) {
  std::string out = ResponseHeader(body.size());
  out.append(body);
  return out;
}

}  // namespace

std::optional<Framing> ParseFraming(std::string_view name) {
  if (name == "plain") return Framing::kPlain;
  if (name == "compressed") return Framing::kCompressed;
  if (name == "encrypted") return Framing::kEncrypted;
  if (name == "compressed-encrypted") return Framing::kCompressedEncrypted;
  return std::nullopt;
}

const char* FramingName(Framing framing) {
  switch (framing) {
    case Framing::kPlain:
      return "plain";
    case Framing::kCompressed:
      return "compressed";
    case Framing::kEncrypted:
      return "encrypted";
    case Framing::kCompressedEncrypted:
      return "compressed-encrypted";
  }
  return "plain";
}

bool FramingCompressed(Framing framing) {
  return framing == Framing::kCompressed || framing == Framing::kCompressedEncrypted;
}

bool FramingEncrypted(Framing framing) {
  return framing == Framing::kEncrypted || framing == Framing::kCompressedEncrypted;
}

std::string JoinMessages(const std::vector<std::string>& messages) {
  std::string block;
  for (const std::string& m : messages) {
    block.push_back(kStx);
    block += m;
  }
  return block;
}

std::string ResponseHeader(size_t bodyLength) {
  std::string header(wire::kStatusOk);
  header += wire::kCrLf;
  header += wire::kContentLength;
  header += ' ';
  header += std::to_string(bodyLength);
  header += wire::kHeaderEnd;
  return header;
}

std::string ZlibPayload(std::string_view text) {
  std::string withZero(text);
  withZero.push_back('\0');
  std::string payload = Deflate(withZero, Z_BEST_SPEED);
  // Older receivers stop inflating at 10 output bytes per payload byte (ours
  // inflates the whole stream); stored blocks are never smaller than their
  // input, so the sandbox's frames stay readable by either.
  if (withZero.size() > kMaxInflateRatio * payload.size()) payload = Deflate(withZero, 0);
  return payload;
}

std::string EncryptPadded(std::string_view plain, std::string_view keyText) {
  std::string padded(plain);
  padded.resize((padded.size() + 7) / 8 * 8, '\0');
  auto cipher = CryptText(1, keyText, reinterpret_cast<const unsigned char*>(padded.data()),
                          static_cast<int32_t>(padded.size()));
  if (!cipher) throw std::runtime_error("encryption failed");
  return std::string(reinterpret_cast<const char*>(cipher.get()), padded.size());
}

std::string PlainResponse(std::string_view block) { return WithHeader(block); }

std::string EncryptedResponse(std::string_view block, std::string_view keyText,
                              unsigned char marker) {
  return WithHeader(Frame(marker, EncryptPadded(block, keyText)));
}

std::string CompressedResponse(std::string_view block) {
  return WithHeader(Frame(kMarkerCompressed, ZlibPayload(block)));
}

std::string CompressedEncryptedResponse(std::string_view block, std::string_view keyText,
                                        unsigned char marker) {
  return WithHeader(Frame(marker, EncryptPadded(ZlibPayload(block), keyText)));
}

FrameEncoder::FrameEncoder(Framing framing, std::string sessionKey, int fixedKeyResponses)
    : m_framing(framing),
      m_sessionKey(std::move(sessionKey)),
      m_fixedKeyResponses(fixedKeyResponses) {}

std::string FrameEncoder::Encode(std::string_view block) {
  const bool fixed = m_responses < m_fixedKeyResponses;
  const std::string_view key = fixed ? g_strFixedKey : std::string_view(m_sessionKey);
  const unsigned char marker = fixed ? kMarkerFixedKey : kMarkerSessionKey;
  std::string out;
  switch (m_framing) {
    case Framing::kPlain:
      out = PlainResponse(block);
      break;
    case Framing::kCompressed:
      out = CompressedResponse(block);
      break;
    case Framing::kEncrypted:
      out = EncryptedResponse(block, key, marker);
      break;
    case Framing::kCompressedEncrypted:
      out = CompressedEncryptedResponse(block, key, marker);
      break;
  }
  ++m_responses;
  return out;
}

}  // namespace corvane::tools
