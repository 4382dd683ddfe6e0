// The server's side of the wire: message blocks framed as the component's
// receive side reads them. The sandbox back end sends these bytes; the tests,
// benchmarks and fuzz targets build their streams with the same code.
//
// A block is one or more messages, each introduced by STX. It travels as the
// body of a response, "HTTP/1.1 200 OK" CRLF "Content-Length: N" CRLF CRLF and
// N bytes, in one of four framings:
//   plain       the block itself.
//   encrypted   a marker byte, five digits giving the ciphertext length, then
//               the ciphertext of the block zero-padded to whole 8-byte blocks
//               (the receiver reads the text up to its first zero byte, or to
//               the end of the ciphertext when there is none).
//   compressed  marker 0x05, five digits giving the payload length, then
//               zlib(block + one zero byte).
//   compressed-encrypted
//               marker 0x06 or 0x07, five digits, then the ciphertext of
//               zlib(block + one zero byte) zero-padded likewise.
// A ciphertext's marker names its key: 0x06 the fixed key, 0x07 the session
// key (the receiver of an encrypted body takes the key from its own state and
// does not read the marker). The cipher is two-key triple DES in CBC mode from
// a zero vector, restarted for every body and payload; this layer has no
// cipher of its own and takes the enciphering step as a parameter.
//
// Coded bodies and payloads are bounded by their five digits
// (kMaxFramePayload); past it the encoders throw std::length_error. Older
// receivers inflate at most 10 bytes per payload byte, so a block that
// deflates better than 10:1 is sent as stored deflate blocks instead.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire.h"

namespace corvane::wire {

// Enciphers whole 8-byte blocks under a key text and returns as many bytes.
// The encoders pad; they call it once per body or payload.
using Encipher = std::string (*)(std::string_view keyText, std::string_view blocks);

// What enciphers a coded body or payload: the cipher, the key text and the
// marker that names the key (kMarkerFixedKey or kMarkerSessionKey).
struct Cipher {
  Encipher encipher;
  std::string_view key;
  unsigned char marker;
};

// Output bytes per payload byte that every receiver inflates.
inline constexpr size_t kMaxInflateRatio = 10;

// STX m1 STX m2 ...
std::string JoinMessages(std::initializer_list<std::string_view> messages);
std::string JoinMessages(const std::vector<std::string>& messages);

// Header lines a server may send besides Content-Length, each ending in CR LF:
// before it and after it. The receiver looks for the length wherever it is.
struct HeaderLines {
  std::string_view before;
  std::string_view after;
};

// The success response's header for a body of bodyLength bytes; without
// lines, the back end's own: "HTTP/1.1 200 OK" CRLF "Content-Length: N" CRLF CRLF.
std::string ResponseHeader(size_t bodyLength, const HeaderLines& lines = {});
// The header, then the body.
std::string Response(std::string_view body, const HeaderLines& lines = {});

// zlib(block + one zero byte), within the receivers' 10:1 inflation bound.
std::string ZlibPayload(std::string_view block);
// The bytes zero-padded to whole blocks and enciphered.
std::string EncipherPadded(std::string_view bytes, const Cipher& cipher);

// Bodies and frames: the cipher's marker (0x05 for a plain compressed frame),
// five digits of the length, the payload.
std::string EncryptedBody(std::string_view block, const Cipher& cipher);
std::string CompressedFrame(std::string_view block);
std::string CompressedFrame(std::string_view block, const Cipher& cipher);

enum class Framing { kPlain, kCompressed, kEncrypted, kCompressedEncrypted };

// "plain", "compressed", "encrypted", "compressed-encrypted".
const char* FramingName(Framing framing);
// The component's codec flags that read this framing.
bool FramingCompressed(Framing framing);
bool FramingEncrypted(Framing framing);

// Encodes a connection's responses in one framing. The encrypted framings use
// the fixed key (marker 0x06) for the first fixedKeyResponses responses and
// the session key (marker 0x07) after them. This models the receiver, which
// decrypts with the fixed key during its first encrypted assembler call of the
// process and with the session key from then on: the model holds only when
// that first call sees exactly the first response, which a pause after it
// ensures (the back end's --first-delay-ms).
class FrameEncoder {
 public:
  FrameEncoder(Framing framing, Encipher encipher, std::string sessionKey,
               int fixedKeyResponses = 1);

  std::string Encode(std::string_view block);

  Framing framing() const { return m_framing; }
  int64_t responses() const { return m_responses; }

 private:
  Framing m_framing;
  Encipher m_encipher;
  std::string m_sessionKey;
  int m_fixedKeyResponses;
  int64_t m_responses = 0;
};

}  // namespace corvane::wire
