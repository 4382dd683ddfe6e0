// Response and frame encoders: see encoder.h for the wire formats.
#include "protocol/encoder.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>
#include <utility>

namespace corvane::wire {

namespace {

std::string LengthDigits(size_t n) {
  if (n > kMaxFramePayload) throw std::length_error("frame payload longer than 99999 bytes");
  char digits[8];
  std::snprintf(digits, sizeof digits, "%05u", static_cast<unsigned>(n));
  return std::string(digits, kFrameLengthDigits);
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
  frame.reserve(kFramePrefix + payload.size());
  frame.push_back(static_cast<char>(marker));
  frame += LengthDigits(payload.size());
  frame.append(payload);
  return frame;
}

template <typename Messages>
std::string Join(const Messages& messages) {
  std::string block;
  for (const auto& m : messages) {
    block.push_back(kStx);
    block += m;
  }
  return block;
}

}  // namespace

std::string JoinMessages(std::initializer_list<std::string_view> messages) {
  return Join(messages);
}

std::string JoinMessages(const std::vector<std::string>& messages) { return Join(messages); }

std::string ResponseHeader(size_t bodyLength, const HeaderLines& lines) {
  std::string header(kStatusOk);
  header += kCrLf;
  header += lines.before;
  header += kContentLength;
  header += ' ';
  header += std::to_string(bodyLength);
  header += kCrLf;
  header += lines.after;
  header += kCrLf;
  return header;
}

std::string Response(std::string_view body, const HeaderLines& lines) {
  std::string out = ResponseHeader(body.size(), lines);
  out.append(body);
  return out;
}

std::string ZlibPayload(std::string_view block) {
  std::string withZero(block);
  withZero.push_back('\0');
  std::string payload = Deflate(withZero, Z_BEST_SPEED);
  // Older receivers stop inflating at 10 output bytes per payload byte (ours
  // inflates the whole stream); stored blocks are never smaller than their
  // input, so these frames stay readable by either.
  if (withZero.size() > kMaxInflateRatio * payload.size()) payload = Deflate(withZero, 0);
  return payload;
}

std::string EncipherPadded(std::string_view bytes, const Cipher& cipher) {
  std::string padded(bytes);
  padded.resize((padded.size() + 7) / 8 * 8, '\0');
  std::string out = cipher.encipher(cipher.key, padded);
  if (out.size() != padded.size()) throw std::runtime_error("the cipher changed the length");
  return out;
}

std::string EncryptedBody(std::string_view block, const Cipher& cipher) {
  return Frame(cipher.marker, EncipherPadded(block, cipher));
}

std::string CompressedFrame(std::string_view block) {
  return Frame(kMarkerZlib, ZlibPayload(block));
}

std::string CompressedFrame(std::string_view block, const Cipher& cipher) {
  return Frame(cipher.marker, EncipherPadded(ZlibPayload(block), cipher));
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

FrameEncoder::FrameEncoder(Framing framing, Encipher encipher, std::string sessionKey,
                           int fixedKeyResponses)
    : m_framing(framing),
      m_encipher(encipher),
      m_sessionKey(std::move(sessionKey)),
      m_fixedKeyResponses(fixedKeyResponses) {}

std::string FrameEncoder::Encode(std::string_view block) {
  const bool fixed = m_responses < m_fixedKeyResponses;
  const Cipher cipher{m_encipher, fixed ? kFixedKey : std::string_view(m_sessionKey),
                      fixed ? kMarkerFixedKey : kMarkerSessionKey};
  std::string out;
  switch (m_framing) {
    case Framing::kPlain:
      out = Response(block);
      break;
    case Framing::kCompressed:
      out = Response(CompressedFrame(block));
      break;
    case Framing::kEncrypted:
      out = Response(EncryptedBody(block, cipher));
      break;
    case Framing::kCompressedEncrypted:
      out = Response(CompressedFrame(block, cipher));
      break;
  }
  ++m_responses;
  return out;
}

}  // namespace corvane::wire
