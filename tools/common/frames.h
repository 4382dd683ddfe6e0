// Server-side framing of message blocks, as the component's receive side reads it.
//
// A block is one or more messages, each introduced by STX (0x02). It travels in
// one of four framings:
//   plain       "HTTP/1.1 200 OK" CRLF "Content-Length: N" CRLF CRLF, then the block.
//   encrypted   the same response; its body is a 6-byte prefix (marker byte and
//               five digits: the ciphertext length) and the two-key triple DES
//               CBC ciphertext (zero IV, per body) of the block zero-padded to 8.
//   compressed  a response header whose Content-Length covers the frame, then the
//               frame 0x05, five-digit payload length L, zlib(block + one zero byte).
//   compressed-encrypted
//               the same with marker 0x06 (fixed key) or 0x07 (session key) and
//               the payload DES(zlib(block + 0)) zero-padded to 8.
// Coded payloads are bounded by the five length digits (kMaxFramePayload). The
// receiver inflates at most 10 bytes per payload byte, so a block that deflates
// better than 10:1 is sent as stored (uncompressed) deflate blocks instead.
//
// Everything here is sans-I/O: the back end, the tests and the replay fixtures
// share it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/wire.h"

namespace corvane::tools {

// The wire's own values (protocol/wire.h), under the names the tools use.
using wire::kMarkerFixedKey;
using wire::kMarkerSessionKey;
using wire::kMaxFramePayload;  // five decimal digits
using wire::kStx;
inline constexpr unsigned char kMarkerCompressed = wire::kMarkerZlib;
// The receiver's inflation bound: output bytes per payload byte.
inline constexpr size_t kMaxInflateRatio = 10;

enum class Framing { kPlain, kCompressed, kEncrypted, kCompressedEncrypted };

// "plain", "compressed", "encrypted", "compressed-encrypted".
std::optional<Framing> ParseFraming(std::string_view name);
const char* FramingName(Framing framing);
// The component's codec flags that read this framing.
bool FramingCompressed(Framing framing);
bool FramingEncrypted(Framing framing);

// STX m1 STX m2 ...
std::string JoinMessages(const std::vector<std::string>& messages);

// The response header for a body of n bytes.
std::string ResponseHeader(size_t bodyLength);

// zlib(text + one zero byte), within the receiver's 10:1 inflation bound.
std::string ZlibPayload(std::string_view text);
// The text zero-padded to a multiple of 8 and encrypted under the key text.
std::string EncryptPadded(std::string_view plain, std::string_view keyText);

// One response per block. The coded ones throw std::length_error when the
// payload would not fit in five digits.
std::string PlainResponse(std::string_view block);
std::string EncryptedResponse(std::string_view block, std::string_view keyText,
                              unsigned char marker);
std::string CompressedResponse(std::string_view block);
std::string CompressedEncryptedResponse(std::string_view block, std::string_view keyText,
                                        unsigned char marker);

// Encodes a connection's responses in one framing. The encrypted framings use
// the fixed key (marker 0x06) for the first fixedKeyResponses responses and
// the session key (marker 0x07) after them. This models the receiver, which
// decrypts with the fixed key during its first encrypted assembler call of the
// process and with the session key from then on: the model holds only when
// that first call sees exactly the first response, which a pause after it
// ensures (the back end's --first-delay-ms).
class FrameEncoder {
 public:
  FrameEncoder(Framing framing, std::string sessionKey, int fixedKeyResponses = 1);

  std::string Encode(std::string_view block);

  Framing framing() const { return m_framing; }
  int64_t responses() const { return m_responses; }

 private:
  Framing m_framing;
  std::string m_sessionKey;
  int m_fixedKeyResponses;
  int64_t m_responses = 0;
};

}  // namespace corvane::tools
