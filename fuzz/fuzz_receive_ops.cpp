// Receive assembly and delivery driven by a program of operations: two
// connections (an assembler each) over one router, as the component has them,
// with the codec flags, the key choice and the tunnel request changed between
// reads, so that a flag change in the middle of a carried frame, a held body
// or a proxy answer is explored too.
//
// The input is a sequence of operations, one byte each: the low four bits pick
// the operation, the high four bits are its argument (bit 4: the value or the
// connection, bit 5: a second value).
//   0 compression   1 encryption   2 multi-connection   3 reading (both connections)
//   4 fixed key in use (new keys), or past it
//   5 session key: the sandbox's key, or (bit 5) the next byte's count of key bytes
//   6 tunnel requested on a connection (bit 4: which, bit 5: requested)
//   7 a chunk for a connection: two bytes of length (1..32768), then the bytes
//   8 reset a connection's assembler   9 take every queued event
//  10 reset the router                11 the rest of the input as chunks of 32768
// Every value is checked only for what the router promises: each queued event
// is taken exactly once, the counts go back to zero when all are taken, and
// one notification stands for everything queued between two such drains.
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "delivery/router.h"
#include "fuzz/fuzz_support.h"
#include "receive/feed.h"

namespace {

using corvane::fuzz::InputReader;

constexpr std::string_view kSandboxSessionKey = "5820417396284051";

// The session's shared parts: the flags, the keys and the router.
struct Host {
  bool compression = false;
  bool encryption = false;
  bool multiOC = false;
  bool reading = false;
  size_t posted = 0;
  std::unique_ptr<corvane::ReceiveKeys> keys = std::make_unique<corvane::ReceiveKeys>();
  corvane::CMessageRouter router{[this](unsigned message) {
    FUZZ_CHECK(message == corvane::WM_DELIVER_DATA ||
               message == corvane::WM_DELIVER_AUTHENTICATION);
    ++posted;
    return true;
  }};
};

// One connection: its assembler, fed as a link feeds its own, into the router.
class Connection : public corvane::BlockSink {
 public:
  Connection(Host& host, corvane::LinkId link) : m_host(host), m_link(link) {}
  std::optional<std::string> OnBlock(std::string_view block) override {
    return m_host.router.RouteBlock(block, {m_link, m_host.encryption, &m_packets}).sessionKey;
  }
  void Feed(std::string_view chunk) {
    // A buffer of exactly the chunk's size: a read past it is an ASan report.
    std::vector<unsigned char> buffer(chunk.begin(), chunk.end());
    corvane::ReceiveSettings settings;
    settings.compression = m_host.compression;
    settings.encryption = m_host.encryption;
    settings.multiOC = m_host.multiOC;
    settings.reading = m_host.reading;
    const corvane::FedChunk fed =
        corvane::FeedChunk(m_assembler, static_cast<int32_t>(buffer.size()), buffer.data(),
                           settings, *m_host.keys, *this);
    if (fed.setReading) m_host.reading = true;
    FUZZ_CHECK(m_assembler.FrameMode() == 0 || m_assembler.FrameMode() == 1);
  }
  void SetTunnelRequested(bool requested) { m_assembler.SetTunnelRequested(requested); }
  void Reset() { m_assembler.Reset(); }

 private:
  Host& m_host;
  corvane::LinkId m_link;
  std::atomic<int32_t> m_packets{0};
  corvane::CReceiveAssembler m_assembler;
};

void TakeAll(Host& host, size_t& taken) {
  const size_t queued = host.router.QueuedEvents();
  size_t n = 0;
  corvane::Event event;
  while (host.router.TakeNext(event)) ++n;
  FUZZ_CHECK(n == queued);
  // One notification stood for everything queued since the last drain.
  FUZZ_CHECK(host.posted == (n > 0 ? 1u : 0u));
  host.posted = 0;
  FUZZ_CHECK(host.router.QueuedEvents() == 0 && host.router.QueuedBytes() == 0);
  taken += n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The keys start as a new component's: the fixed key in use.
  Host host;
  Connection interactive(host, corvane::LinkId::Interactive);
  Connection broadcast(host, corvane::LinkId::Broadcast);
  auto pick = [&](uint8_t arg) -> Connection& { return (arg & 1) != 0 ? broadcast : interactive; };
  size_t taken = 0;

  InputReader in(data, size);
  while (!in.Empty()) {
    const uint8_t op = in.Byte();
    const uint8_t arg = static_cast<uint8_t>(op >> 4);
    const bool value = (arg & 1) != 0;
    switch (op & 0x0F) {
      case 0:
        host.compression = value;
        break;
      case 1:
        host.encryption = value;
        break;
      case 2:
        host.multiOC = value;
        break;
      case 3:
        host.reading = value;
        break;
      case 4: {
        const std::string session = host.keys->SessionKey();
        host.keys = std::make_unique<corvane::ReceiveKeys>();
        host.keys->SetSessionKey(session);
        if (!value) host.keys->FixedKeyDone();
        break;
      }
      case 5:
        if ((arg & 2) != 0)
          host.keys->SetSessionKey(in.Bytes(in.Byte() % 24));
        else
          host.keys->SetSessionKey(kSandboxSessionKey);
        break;
      case 6:
        pick(arg).SetTunnelRequested((arg & 2) != 0);
        break;
      case 7: {
        const size_t length = in.U16() % 32768 + 1;
        const std::string_view chunk = in.Bytes(length);
        if (!chunk.empty()) pick(arg).Feed(chunk);
        break;
      }
      case 8:
        pick(arg).Reset();
        break;
      case 9:
        TakeAll(host, taken);
        break;
      case 10:
        host.router.Reset();
        break;
      case 11:
        while (!in.Empty()) pick(arg).Feed(in.Bytes(32768));
        break;
      default:
        break;
    }
  }
  TakeAll(host, taken);
  return 0;
}
