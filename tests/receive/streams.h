// Test streams as a server sends them, built with independent encoders: zlib's
// own compress() for frame payloads and the encrypting direction of CryptText
// for ciphertext. A recording host stands in for the component.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec/des.h"
#include "codec/keys.h"
#include "protocol/wire.h"
#include "receive/feed.h"

namespace corvane::test {

using wire::kStx;
inline constexpr std::string_view kSessionKey = "4827365019283746";

// The component's side of an assembler: flags the test sets, blocks recorded.
class RecordingHost : public ReceiveHost {
 public:
  bool compression = false;
  bool encryption = false;
  bool multiOC = false;
  bool interactiveReading = true;
  std::vector<std::string> blocks;

  bool Compression() const override { return compression; }
  bool Encryption() const override { return encryption; }
  bool MultiOC() const override { return multiOC; }
  bool InteractiveReading() const override { return interactiveReading; }
  void SetInteractiveReading() override { interactiveReading = true; }
  int SplitAndDeliver(std::string_view block) override {
    blocks.emplace_back(block);
    return 0;
  }
};

inline std::string Header(std::string_view status, int64_t contentLength) {
  std::string h(status);
  h += "\r\nServer: feed\r\n";
  if (contentLength >= 0) h += "Content-Length: " + std::to_string(contentLength) + "\r\n";
  h += "Connection: keep-alive\r\n\r\n";
  return h;
}

// A plain success response carrying body.
inline std::string Response(std::string_view body) {
  return Header("HTTP/1.1 200 OK", static_cast<int64_t>(body.size())) + std::string(body);
}

inline std::string Digits5(size_t n) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%05u", static_cast<unsigned>(n));
  return buf;
}

inline std::string Encrypt(std::string_view key, std::string plain) {
  // Only whole blocks are enciphered: the sender pads with zero bytes.
  plain.resize((plain.size() + 7) / 8 * 8, '\0');
  auto out = CryptText(1, key, reinterpret_cast<const unsigned char*>(plain.data()),
                       static_cast<int32_t>(plain.size()));
  return std::string(reinterpret_cast<const char*>(out.get()), plain.size());
}

// An encrypted response: marker, five digits, ciphertext of the text and a zero.
inline std::string EncryptedResponse(std::string_view key, std::string_view text) {
  const std::string cipher = Encrypt(key, std::string(text) + '\0');
  const std::string body = "\x01" + Digits5(cipher.size()) + cipher;
  return Response(body);
}

inline std::string Compress(std::string_view text) {
  const std::string in = std::string(text) + '\0';
  uLongf size = compressBound(static_cast<uLong>(in.size()));
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(in.data()),
           static_cast<uLong>(in.size()));
  out.resize(size);
  return out;
}

// A compressed frame: marker, five digits, payload (zlib data, enciphered with
// key when one is given).
inline std::string Frame(std::string_view text, char marker, std::string_view key = {}) {
  std::string payload = Compress(text);
  if (!key.empty()) payload = Encrypt(key, payload);
  return std::string(1, marker) + Digits5(payload.size()) + payload;
}

// A response whose body is one compressed frame.
inline std::string FrameResponse(std::string_view text, char marker, std::string_view key = {}) {
  return Response(Frame(text, marker, key));
}

// Messages of a block: STX before each.
inline std::string Block(std::initializer_list<std::string_view> messages) {
  std::string b;
  for (std::string_view m : messages) {
    b += kStx;
    b += m;
  }
  return b;
}

// Feeds stream through the decoding dispatch cut at the given chunk sizes (the
// last one repeating), each chunk in its own zero-padded buffer as a reader's.
inline void Feed(HostedAssembler& assembler, std::string_view stream,
                 const std::vector<size_t>& sizes) {
  size_t pos = 0;
  size_t i = 0;
  std::vector<unsigned char> buf;
  while (pos < stream.size()) {
    const size_t want = sizes[std::min(i, sizes.size() - 1)];
    const size_t n = std::min(want, stream.size() - pos);
    buf.assign(n + 1, 0);
    std::copy(stream.begin() + static_cast<std::ptrdiff_t>(pos),
              stream.begin() + static_cast<std::ptrdiff_t>(pos + n), buf.begin());
    assembler.DispatchReceived(static_cast<int32_t>(n), buf.data());
    pos += n;
    ++i;
  }
}

inline void FeedWhole(HostedAssembler& assembler, std::string_view stream) {
  Feed(assembler, stream, {stream.size()});
}

inline std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Printable message text of n bytes (no STX, no zero byte).
inline std::string MessageText(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, 'a');
  for (char& c : s) c = static_cast<char>('0' + rng() % 75);
  return s;
}

}  // namespace corvane::test
