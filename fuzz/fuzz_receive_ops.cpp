// Receive assembly and delivery driven by a program of operations: two
// connections (an assembler each) over one router, as the component has them,
// with the codec flags, the key choice and the tunnel request changed between
// reads, so that a flag change in the middle of a carried frame, a held body
// or a proxy answer is explored too.
//
// The input is a sequence of operations, one byte each: the low four bits pick
// the operation, the high four bits are its argument (bit 4: the value or the
// connection, bit 5: a second value).
//   0 compression   1 encryption   2 multi-connection   3 interactive reading
//   4 fixed key in use (g_bUseFixedKey)
//   5 session key: the sandbox's key, or (bit 5) the next byte's count of key bytes
//   6 tunnel requested on a connection (bit 4: which, bit 5: requested)
//   7 a chunk for a connection: two bytes of length (1..32768), then the bytes
//   8 reset a connection's assembler   9 take every queued event
//  10 reset the router                11 the rest of the input as chunks of 32768
// Every value is checked only for what the router promises: each queued event
// is taken exactly once, the counts go back to zero when all are taken, and
// one notification stands for everything queued between two such drains.
#include <cstdint>
#include <string>
#include <vector>

#include "codec/keys.h"
#include "delivery/router.h"
#include "fuzz/fuzz_support.h"
#include "receive/feed.h"

namespace {

using corvane::fuzz::InputReader;

constexpr std::string_view kSandboxSessionKey = "5820417396284051";

class Host : public corvane::ReceiveHost, public corvane::DeliveryHost {
 public:
  bool Compression() const override { return compression; }
  bool Encryption() const override { return encryption; }
  bool MultiOC() const override { return multiOC; }
  bool InteractiveReading() const override { return reading; }
  void SetInteractiveReading() override { reading = true; }
  int SplitAndDeliver(std::string_view block) override { return router.SplitAndDeliver(block); }
  int32_t InteractiveDataSeen() const override { return 1; }
  int32_t BcastDataSeen() const override { return 1; }
  bool PostNotification(unsigned message) override {
    FUZZ_CHECK(message == corvane::WM_DELIVER_DATA ||
               message == corvane::WM_DELIVER_AUTHENTICATION);
    ++posted;
    return true;
  }

  bool compression = false;
  bool encryption = false;
  bool multiOC = false;
  bool reading = false;
  size_t posted = 0;
  corvane::CMessageRouter router{*this};
};

void Feed(corvane::HostedAssembler& assembler, std::string_view chunk) {
  // A buffer of exactly the chunk's size: a read past it is an ASan report.
  std::vector<unsigned char> buffer(chunk.begin(), chunk.end());
  assembler.DispatchReceived(static_cast<int32_t>(buffer.size()), buffer.data());
  FUZZ_CHECK(assembler.FrameMode() == 0 || assembler.FrameMode() == 1);
}

void TakeAll(Host& host, size_t& taken) {
  const size_t queued = host.router.QueuedEvents();
  size_t n = 0;
  corvane::DeliveredEvent event;
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
  // The process-wide key choice starts as a freshly loaded module has it.
  corvane::g_bUseFixedKey.store(1);
  corvane::SetSessionKey(std::string());

  Host host;
  corvane::HostedAssembler interactive(host);
  corvane::HostedAssembler broadcast(host);
  auto pick = [&](uint8_t arg) -> corvane::HostedAssembler& {
    return (arg & 1) != 0 ? broadcast : interactive;
  };
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
      case 4:
        corvane::g_bUseFixedKey.store(value ? 1 : 0);
        break;
      case 5:
        if ((arg & 2) != 0)
          corvane::SetSessionKey(std::string(in.Bytes(in.Byte() % 24)));
        else
          corvane::SetSessionKey(std::string(kSandboxSessionKey));
        break;
      case 6:
        pick(arg).SetTunnelRequested((arg & 2) != 0);
        break;
      case 7: {
        const size_t length = in.U16() % 32768 + 1;
        const std::string_view chunk = in.Bytes(length);
        if (!chunk.empty()) Feed(pick(arg), chunk);
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
        while (!in.Empty()) Feed(pick(arg), in.Bytes(32768));
        break;
      default:
        break;
    }
  }
  TakeAll(host, taken);
  return 0;
}
