// Test streams as a server sends them: the server side's encoder
// (protocol/encoder.h), enciphering with StreamEncipher (OpenSSL's triple DES
// natively), with the header lines of a feed server around Content-Length. A
// recording host stands in for the component.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "codec/keys.h"
#include "protocol/encoder.h"
#include "protocol/wire.h"
#include "receive/feed.h"
#include "tests/codec/stream_cipher.h"

namespace corvane::test {

using wire::CompressedFrame;
using wire::EncryptedBody;
using wire::JoinMessages;
using wire::kStx;
using wire::Response;
inline constexpr std::string_view kSessionKey = "4827365019283746";

// A feed server's header: a line before Content-Length and one after it.
inline constexpr wire::HeaderLines kFeedLines{"Server: feed\r\n", "Connection: keep-alive\r\n"};

// Ciphertext under the fixed key (marker 0x06) and the session key (0x07).
inline constexpr wire::Cipher kFixed{StreamEncipher, g_strFixedKey, wire::kMarkerFixedKey};
inline constexpr wire::Cipher kSession{StreamEncipher, kSessionKey, wire::kMarkerSessionKey};

// The component's side of an assembler: flags and keys the test sets, blocks
// recorded. The keys start as a new component's: the fixed key in use.
class RecordingHost : public BlockSink {
 public:
  bool compression = false;
  bool encryption = false;
  bool multiOC = false;
  bool reading = true;  // the connection's reading flag
  std::vector<std::string> blocks;

  std::optional<std::string> OnBlock(std::string_view block) override {
    blocks.emplace_back(block);
    return std::nullopt;
  }

  ReceiveKeys& Keys() { return *m_keys; }
  // Back to the fixed key (a new component's keys), or past it.
  void UseFixedKey(bool fixed) {
    const std::string session = m_keys->SessionKey();
    m_keys = std::make_unique<ReceiveKeys>();
    m_keys->SetSessionKey(session);
    if (!fixed) m_keys->FixedKeyDone();
  }
  int UsingFixedKey() const { return m_keys->UsingFixedKey() ? 1 : 0; }
  void SetSessionKey(std::string_view key) { m_keys->SetSessionKey(key); }
  std::string SessionKey() const { return m_keys->SessionKey(); }

 private:
  std::unique_ptr<ReceiveKeys> m_keys = std::make_unique<ReceiveKeys>();
};

// An assembler fed for a recording host, as a link feeds its own.
class HostedAssembler {
 public:
  explicit HostedAssembler(RecordingHost& host) : m_host(host) {}
  int32_t DispatchReceived(int32_t length, const unsigned char* data) {
    ReceiveSettings settings;
    settings.compression = m_host.compression;
    settings.encryption = m_host.encryption;
    settings.multiOC = m_host.multiOC;
    settings.reading = m_host.reading;
    const FedChunk fed = FeedChunk(m_assembler, length, data, settings, m_host.Keys(), m_host);
    if (fed.setReading) m_host.reading = true;
    return fed.status;
  }
  void SetTunnelRequested(bool requested) { m_assembler.SetTunnelRequested(requested); }
  void Reset() { m_assembler.Reset(); }
  int32_t FrameMode() const { return m_assembler.FrameMode(); }

 private:
  RecordingHost& m_host;
  CReceiveAssembler m_assembler;
};

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
