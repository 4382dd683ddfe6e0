// Receive assembly throughput against the bare decode of the same bytes.
//
// Each framing (plain, encrypted, compressed, compressed and encrypted) gets a
// feed stream of responses with blocks of market-data-sized messages. Assemble
// runs the stream through a link's receive pipeline (Link::Receive, as its
// reader hands chunks on) cut into 1 KiB or 32 KiB chunks and delivers into
// its session's logged-on router, whose queue is drained as the owner thread
// would; BareDecode runs only DecryptText / InflateText over the same bodies and
// frames. Both report bytes of the stream, so the ratio of their MB/s is the
// overhead of assembly and delivery. ChunkToQueue reports messages per second
// from chunk to queued event.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "codec/des.h"
#include "codec/inflate.h"
#include "codec/keys.h"
#include "delivery/router.h"
#include "protocol/encoder.h"
#include "protocol/wire.h"
#include "session/link.h"
#include "tests/receive/streams.h"

namespace corvane {
namespace {

using test::kSessionKey;

enum Framing : int64_t { kPlain, kEncrypted, kCompressed, kCompressedEncrypted };

struct Payload {
  size_t offset;  // in the stream
  size_t size;
};

struct Feed {
  std::string bytes;
  std::vector<Payload> coded;  // ciphertext or frame payloads, for the bare decode
  int64_t messages = 0;
};

// About 1 MiB of responses, each a block of 8 messages of about 150 bytes.
Feed MakeFeed(int64_t framing) {
  Feed feed;
  uint32_t seed = 1;
  while (feed.bytes.size() < (size_t{1} << 20)) {
    std::string block;
    for (int m = 0; m < 8; ++m) {
      block += wire::kStx;
      block += "1=" + std::to_string(seed) + "|55=SYM|44=1234.50|38=100|" +
               test::MessageText(100 + seed % 50, seed);
      ++seed;
    }
    feed.messages += 8;
    std::string response;
    size_t codedFrom = 0, codedSize = 0;
    switch (framing) {
      case kPlain:
        response = wire::Response(block, test::kFeedLines);
        break;
      case kEncrypted:
        response = wire::Response(wire::EncryptedBody(block, test::kSession), test::kFeedLines);
        codedFrom = response.find("\r\n\r\n") + 4 + 6;
        codedSize = response.size() - codedFrom;
        break;
      case kCompressed:
      case kCompressedEncrypted: {
        const bool enc = framing == kCompressedEncrypted;
        const char marker = enc ? '\x07' : '\x05';
        response = wire::Response(
            enc ? wire::CompressedFrame(block, test::kSession) : wire::CompressedFrame(block),
            test::kFeedLines);
        codedFrom = response.find(marker) + 6;
        codedSize = response.size() - codedFrom;
        break;
      }
    }
    if (codedSize > 0) feed.coded.push_back({feed.bytes.size() + codedFrom, codedSize});
    feed.bytes += response;
  }
  return feed;
}

const Feed& FeedFor(int64_t framing) {
  static const Feed feeds[] = {MakeFeed(kPlain), MakeFeed(kEncrypted), MakeFeed(kCompressed),
                               MakeFeed(kCompressedEncrypted)};
  return feeds[framing];
}

// A session's shared parts and one link, logged on under the session key.
class Hosts {
 public:
  explicit Hosts(int64_t framing) {
    const bool compression = framing == kCompressed || framing == kCompressedEncrypted;
    const bool encryption = framing == kEncrypted || framing == kCompressedEncrypted;
    core.settings.Update([&](Settings& s) {
      s.compression = compression;
      s.encryption = encryption;
    });
    core.keys.FixedKeyDone();
    core.keys.SetSessionKey(kSessionKey);
    core.router.RouteBlock(
        "\x02"
        "70=10000",
        {LinkId::Interactive, false, nullptr});
    Drain();
    link.SetDataSeen(true);
    link.SetReading(true);
  }

  // The owner thread's share: take every queued event.
  int64_t Drain() {
    int64_t n = 0;
    Event e;
    while (core.router.TakeNext(e)) {
      benchmark::DoNotOptimize(e.text.data());
      ++n;
    }
    return n;
  }

  SessionCore core{[](unsigned) { return true; }};
  Link link{kInteractiveRole, core};
};

// Returns the number of events taken.
int64_t RunStream(Hosts& hosts, const std::string& bytes, size_t chunk) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  int64_t events = 0;
  for (size_t pos = 0; pos < bytes.size(); pos += chunk) {
    const size_t n = std::min(chunk, bytes.size() - pos);
    hosts.link.Receive(static_cast<int32_t>(n), data + pos);
    events += hosts.Drain();
  }
  return events;
}

// The figures only count when every message came through.
bool Checked(benchmark::State& state, const Feed& feed, size_t chunk) {
  Hosts hosts(state.range(0));
  if (RunStream(hosts, feed.bytes, chunk) == feed.messages) return true;
  state.SkipWithError("messages lost");
  return false;
}

// Args: framing, chunk size.
void Assemble(benchmark::State& state) {
  const Feed& feed = FeedFor(state.range(0));
  const size_t chunk = static_cast<size_t>(state.range(1));
  if (!Checked(state, feed, chunk)) return;
  Hosts hosts(state.range(0));
  for (auto _ : state) RunStream(hosts, feed.bytes, chunk);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(feed.bytes.size()));
}

// Args: framing. Decryption and inflation alone, on the same bodies and frames.
void BareDecode(benchmark::State& state) {
  const int64_t framing = state.range(0);
  const Feed& feed = FeedFor(framing);
  const std::string key(kSessionKey);
  const auto* base = reinterpret_cast<const unsigned char*>(feed.bytes.data());
  for (auto _ : state) {
    for (const Payload& p : feed.coded) {
      const unsigned char* bytes = base + p.offset;
      const auto size = static_cast<int32_t>(p.size);
      if (framing == kEncrypted) {
        benchmark::DoNotOptimize(DecryptText(key, bytes, size));
      } else if (framing == kCompressed) {
        benchmark::DoNotOptimize(InflateText(bytes, size));
      } else {
        const auto plain = DecryptText(key, bytes, size);
        benchmark::DoNotOptimize(InflateText(plain.get(), size));
      }
    }
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(feed.bytes.size()));
}

// Messages per second from 32 KiB chunks to queued events taken by the owner.
void ChunkToQueue(benchmark::State& state) {
  const Feed& feed = FeedFor(state.range(0));
  if (!Checked(state, feed, 32768)) return;
  Hosts hosts(state.range(0));
  for (auto _ : state) RunStream(hosts, feed.bytes, 32768);
  state.SetItemsProcessed(state.iterations() * feed.messages);
}

BENCHMARK(Assemble)
    ->ArgNames({"framing", "chunk"})
    ->ArgsProduct({{kPlain, kEncrypted, kCompressed, kCompressedEncrypted}, {1024, 32768}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BareDecode)
    ->ArgNames({"framing"})
    ->Args({kEncrypted})
    ->Args({kCompressed})
    ->Args({kCompressedEncrypted})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(ChunkToQueue)
    ->ArgNames({"framing"})
    ->DenseRange(kPlain, kCompressedEncrypted)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvane

BENCHMARK_MAIN();
