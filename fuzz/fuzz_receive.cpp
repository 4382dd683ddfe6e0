// libFuzzer target for receive assembly and delivery (clang only, not part of
// the default build; fuzz/CMakeLists.txt says how to build it).
//
// The first input byte picks the codec and proxy flags, the next two the chunk
// size; the rest is the server's byte stream, fed as a reader feeds it. Every
// event is taken off the router's queue, as the owner thread would.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "codec/keys.h"
#include "delivery/router.h"
#include "receive/assembler.h"

namespace {

class Host : public corvane::ReceiveHost, public corvane::DeliveryHost {
 public:
  explicit Host(uint8_t flags) : m_flags(flags) {}
  bool Compression() const override { return (m_flags & 1) != 0; }
  bool Encryption() const override { return (m_flags & 2) != 0; }
  bool MultiOC() const override { return (m_flags & 16) != 0; }
  bool InteractiveReading() const override { return m_reading; }
  void SetInteractiveReading() override { m_reading = true; }
  int SplitAndDeliver(std::string_view block) override { return router.SplitAndDeliver(block); }
  int32_t InteractiveDataSeen() const override { return 1; }
  int32_t BcastDataSeen() const override { return 0; }
  bool PostNotification(unsigned) override { return true; }

  corvane::CMessageRouter router{*this};

 private:
  uint8_t m_flags;
  bool m_reading = (m_flags & 32) != 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  Host host(data[0]);
  corvane::g_bUseFixedKey.store((data[0] & 64) != 0 ? 1 : 0);
  size_t chunk = 1 + ((static_cast<size_t>(data[1]) << 8 | data[2]) % 32768);
  data += 3;
  size -= 3;
  corvane::CReceiveAssembler assembler(host);
  assembler.SetTunnelRequested((data[-3] & 12) == 12);
  corvane::DeliveredEvent event;
  for (size_t pos = 0; pos < size; pos += chunk) {
    const size_t n = size - pos < chunk ? size - pos : chunk;
    assembler.DispatchReceived(static_cast<int32_t>(n), data + pos);
    while (host.router.TakeNext(event)) {
    }
  }
  return 0;
}
