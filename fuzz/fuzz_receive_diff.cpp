// Differential receive target: one server stream, fed to an assembler whole
// and fed cut at points the input chooses, must give the same events as the
// blocks handed to a router directly. A difference traps.
//
// The stream is made with the server side's encoder (protocol/encoder.h) and
// OpenSSL's triple DES where the build has it (tests/codec/stream_cipher.h):
// one response per block, in one of the four framings, after an
// optional proxy answer to a CONNECT request. Varied responses carry more
// header lines, or follow an error response whose body is skipped. The session
// key is in use from the first byte on (the fixed key serves only a process's
// first encrypted call, which the cut stream and the whole one would see
// differently). The routers either leave the key alone or, as the component
// does with encryption on, take it from tag 394 of every logon response; then
// each block is encrypted with the key in force once the blocks before it have
// been routed, which is when the receiver decrypts it.
//
// Input: a configuration byte (bits 0-1 framing, 2 proxy answer first,
// 3 multi-connection, 4 key from the input, 5-7 how often each block's text
// repeats), with bit 4 a byte of key length and the key; a byte of block count
// (1..16; bit 6: varied responses, bit 7: logon responses set the key); the
// blocks' texts, each ended by a zero byte (STX inside one splits it into
// messages); then the chunk lengths of the cut stream, one byte (1..128) or,
// with the top bit set, two (1..32768).
#include <atomic>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "delivery/router.h"
#include "fuzz/fuzz_support.h"
#include "protocol/encoder.h"
#include "receive/feed.h"
#include "tests/codec/stream_cipher.h"

namespace {

using corvane::fuzz::InputReader;
namespace wire = corvane::wire;

constexpr std::string_view kSandboxSessionKey = "5820417396284051";
constexpr std::string_view kProxyAnswer =
    "HTTP/1.0 200 Connection established\r\nProxy-agent: tinyproxy/1.11.1\r\n\r\n";
// An error response: its body is counted off by its length, nothing is
// delivered. It holds no frame marker, so the frame parser skips it too.
constexpr std::string_view kNotFound =
    "HTTP/1.1 404 Not Found\r\nContent-Length: 21\r\nServer: sandbox\r\n\r\n<html>not here</html>";
constexpr size_t kRepeats[8] = {1, 1, 1, 1, 3, 17, 150, 1200};
// Longer streams add nothing but time: bodies and frames of several reads are
// within this.
constexpr size_t kMaxStream = size_t{80} << 10;

// Keeps every event; posts always succeed. With takeKeys a logon response
// gives the session key (routing reads the encryption flag for that alone).
struct Delivery {
  explicit Delivery(bool keys) : takeKeys(keys) {}
  corvane::CMessageRouter::Routed Route(std::string_view block) {
    return router.RouteBlock(block, {corvane::LinkId::Interactive, takeKeys, &packets});
  }
  std::vector<corvane::Event> Events() {
    std::vector<corvane::Event> events;
    corvane::Event event;
    while (router.TakeNext(event)) events.push_back(std::move(event));
    return events;
  }

  bool takeKeys;
  std::atomic<int32_t> packets{0};
  corvane::CMessageRouter router{[](unsigned) { return true; }};
};

// The assembler's side: the next stage routes, the session key read off a
// logon response is applied by the decoding step.
class Receive : public corvane::BlockSink {
 public:
  explicit Receive(bool takeKeys) : delivery(takeKeys) {}
  std::optional<std::string> OnBlock(std::string_view block) override {
    return delivery.Route(block).sessionKey;
  }
  Delivery delivery;
};

struct Outcome {
  std::vector<corvane::Event> events;
  int32_t packets = 0;
  bool loggedOn = false;
};

Outcome Feed(const std::string& stream, const std::vector<size_t>& cuts, wire::Framing framing,
             bool multiOC, bool tunnel, bool takeKeys, const std::string& key) {
  corvane::ReceiveKeys keys;
  keys.FixedKeyDone();
  keys.SetSessionKey(key);
  corvane::ReceiveSettings settings;
  settings.compression = wire::FramingCompressed(framing);
  settings.encryption = wire::FramingEncrypted(framing);
  settings.multiOC = multiOC;
  settings.reading = true;
  Receive host(takeKeys);
  corvane::CReceiveAssembler assembler;
  assembler.SetTunnelRequested(tunnel);
  size_t pos = 0;
  size_t next = 0;
  while (pos < stream.size()) {
    size_t n = next < cuts.size() ? cuts[next++] : 32768;
    if (n > stream.size() - pos) n = stream.size() - pos;
    // Each chunk in a buffer of its own size, as a read leaves it.
    std::vector<unsigned char> chunk(stream.begin() + static_cast<std::ptrdiff_t>(pos),
                                     stream.begin() + static_cast<std::ptrdiff_t>(pos + n));
    corvane::FeedChunk(assembler, static_cast<int32_t>(n), chunk.data(), settings, keys, host);
    pos += n;
  }
  Outcome out;
  out.events = host.delivery.Events();
  out.packets = host.delivery.packets.load();
  out.loggedOn = host.delivery.router.LoggedOn();
  return out;
}

bool Same(const Outcome& a, const Outcome& b) {
  if (a.events.size() != b.events.size() || a.packets != b.packets || a.loggedOn != b.loggedOn)
    return false;
  for (size_t i = 0; i < a.events.size(); ++i) {
    if (a.events[i].kind != b.events[i].kind || a.events[i].text != b.events[i].text) return false;
  }
  return true;
}

void Report(const char* what, const Outcome& got, const Outcome& want) {
  std::fprintf(stderr, "%s: %zu events (packets %d), expected %zu (packets %d)\n", what,
               got.events.size(), got.packets, want.events.size(), want.packets);
  for (size_t i = 0; i < got.events.size() || i < want.events.size(); ++i) {
    const std::string g = i < got.events.size() ? got.events[i].text.substr(0, 60) : "-";
    const std::string w = i < want.events.size() ? want.events[i].text.substr(0, 60) : "-";
    if (g != w) {
      std::fprintf(stderr, "  first difference at event %zu: got \"%s\" expected \"%s\"\n", i,
                   g.c_str(), w.c_str());
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const uint8_t config = in.Byte();
  const auto framing = static_cast<wire::Framing>(config & 3);
  const bool tunnel = (config & 4) != 0;
  const bool multiOC = (config & 8) != 0;
  std::string key(kSandboxSessionKey);
  if ((config & 16) != 0) key = std::string(in.Bytes(in.Byte() % 24));
  const size_t repeat = kRepeats[config >> 5];

  std::vector<std::string> blocks;
  const uint8_t countByte = in.Byte();
  const bool takeKeys = (countByte & 0x80) != 0;
  const bool varied = (countByte & 0x40) != 0;
  const size_t count = countByte % 16 + 1;
  for (size_t i = 0; i < count; ++i) {
    const std::string_view text = in.Until('\0');
    std::string block(1, wire::kStx);
    if (text.size() * repeat > kMaxStream) return 0;
    for (size_t r = 0; r < repeat; ++r) block += text;
    blocks.push_back(std::move(block));
  }
  std::vector<size_t> cuts;
  while (!in.Empty()) {
    const uint8_t b = in.Byte();
    cuts.push_back((b & 0x80) == 0 ? b + 1u : ((b & 0x7Fu) << 8 | in.Byte()) + 1u);
  }

  // The reference: the blocks routed directly, each encoded with the key in
  // force before it is routed.
  Outcome expected;
  std::string stream(tunnel ? kProxyAnswer : std::string_view());
  std::string blockKey = key;
  Delivery direct(takeKeys);
  try {
    for (size_t i = 0; i < blocks.size(); ++i) {
      const std::string& block = blocks[i];
      const wire::Cipher cipher{corvane::test::StreamEncipher, blockKey, wire::kMarkerSessionKey};
      const size_t style = varied ? (i + block.size()) % 4 : 0;
      if ((style & 2) != 0) stream += kNotFound;
      const std::string more = "Server: sandbox\r\nX-Block: " + std::to_string(i) + "\r\n";
      const wire::HeaderLines lines{(style & 1) != 0 ? std::string_view(more) : "", ""};
      switch (framing) {
        case wire::Framing::kPlain:
          stream += wire::Response(block, lines);
          break;
        case wire::Framing::kCompressed:
          stream += wire::Response(wire::CompressedFrame(block), lines);
          break;
        case wire::Framing::kEncrypted:
          stream += wire::Response(wire::EncryptedBody(block, cipher), lines);
          break;
        case wire::Framing::kCompressedEncrypted:
          stream += wire::Response(wire::CompressedFrame(block, cipher), lines);
          break;
      }
      if (std::optional<std::string> next = direct.Route(block).sessionKey) blockKey = *next;
    }
  } catch (const std::length_error&) {
    return 0;  // a payload over five digits cannot be framed
  }
  if (stream.size() > kMaxStream) return 0;

  expected.events = direct.Events();
  expected.packets = direct.packets.load();
  expected.loggedOn = direct.router.LoggedOn();

  const Outcome whole = Feed(stream, {}, framing, multiOC, tunnel, takeKeys, key);
  if (!Same(whole, expected)) {
    Report("whole stream", whole, expected);
    FUZZ_CHECK(!"the whole stream gives the blocks' events");
  }
  const Outcome cut = Feed(stream, cuts, framing, multiOC, tunnel, takeKeys, key);
  if (!Same(cut, expected)) {
    Report("cut stream", cut, expected);
    FUZZ_CHECK(!"the cut stream gives the blocks' events");
  }
  return 0;
}
