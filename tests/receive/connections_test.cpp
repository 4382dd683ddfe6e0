// Two connections at once: each assembler keeps its own reassembly state, and
// both reader threads deliver into one router while the owner thread takes the
// events, as many per notification as are queued.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "delivery/router.h"
#include "streams.h"

namespace corvane::test {
namespace {

using Blocks = std::vector<std::string>;

// Interleaved chunks of two streams that cut headers, bodies and frames at
// different places: each connection still gets its own blocks, intact.
TEST(TwoConnections, InterleavedChunksKeepTheirOwnState) {
  for (const bool compressed : {false, true}) {
    RecordingHost hostA, hostB;
    hostA.compression = hostB.compression = compressed;
    HostedAssembler a(hostA), b(hostB);
    std::string streamA, streamB;
    Blocks blocksA, blocksB;
    for (int i = 0; i < 20; ++i) {
      blocksA.push_back(JoinMessages({"a=" + MessageText(10 + 37 * i, i)}));
      blocksB.push_back(JoinMessages({"b=" + MessageText(200 - 7 * i, 100 + i)}));
      streamA += compressed ? Response(CompressedFrame(blocksA.back()), kFeedLines)
                            : Response(blocksA.back(), kFeedLines);
      streamB += compressed ? Response(CompressedFrame(blocksB.back()), kFeedLines)
                            : Response(blocksB.back(), kFeedLines);
    }
    std::mt19937 rng(9);
    size_t posA = 0, posB = 0;
    while (posA < streamA.size() || posB < streamB.size()) {
      const size_t nA = std::min<size_t>(1 + rng() % 97, streamA.size() - posA);
      Feed(a, std::string_view(streamA).substr(posA, nA), {nA});
      posA += nA;
      const size_t nB = std::min<size_t>(1 + rng() % 61, streamB.size() - posB);
      Feed(b, std::string_view(streamB).substr(posB, nB), {nB});
      posB += nB;
    }
    EXPECT_EQ(hostA.blocks, blocksA) << "compressed " << compressed;
    EXPECT_EQ(hostB.blocks, blocksB) << "compressed " << compressed;
  }
}

// The owner thread's side: notifications in the order they were posted.
class Owner {
 public:
  CMessageRouter::Notifier Notifier() {
    return [this](unsigned message) {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_posted.push_back(message);
      m_wake.notify_one();
      return true;
    };
  }
  unsigned Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_wake.wait(lock, [this] { return !m_posted.empty(); });
    const unsigned message = m_posted.front();
    m_posted.pop_front();
    return message;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::deque<unsigned> m_posted;
};

// One reader's connection: its flags, and the shared router.
class Connection : public RecordingHost {
 public:
  Connection(CMessageRouter& router, LinkId link, std::atomic<int32_t>& packets)
      : m_router(router), m_link(link), m_packets(packets) {}
  std::optional<std::string> OnBlock(std::string_view block) override {
    return m_router.RouteBlock(block, {m_link, encryption, &m_packets}).sessionKey;
  }

 private:
  CMessageRouter& m_router;
  LinkId m_link;
  std::atomic<int32_t>& m_packets;
};

struct Framed {
  bool compressed;
  bool encrypted;
};

class TwoReaders : public ::testing::TestWithParam<Framed> {};

TEST_P(TwoReaders, EveryMessageOnceInOrder) {
  const Framed f = GetParam();
  auto wrap = [&](const std::string& text) {
    if (f.compressed) {
      return Response(f.encrypted ? CompressedFrame(text, kSession) : CompressedFrame(text),
                      kFeedLines);
    }
    return Response(f.encrypted ? EncryptedBody(text, kSession) : text, kFeedLines);
  };

  Owner owner;
  CMessageRouter router(owner.Notifier());
  std::atomic<int32_t> packets{0};
  Connection interactive(router, LinkId::Interactive, packets),
      broadcast(router, LinkId::Broadcast, packets);
  for (Connection* c : {&interactive, &broadcast}) {
    c->compression = f.compressed;
    c->encryption = f.encrypted;
    c->SetSessionKey(kSessionKey);
    c->UseFixedKey(false);
  }
  HostedAssembler interactiveAssembler(interactive), bcastAssembler(broadcast);

  // Logged on first, so that every later message is a data event of its own;
  // encrypted, the response names the session key it was sent under.
  FeedWhole(interactiveAssembler, wrap(JoinMessages({"70=10000|394=" + std::string(kSessionKey)})));
  ASSERT_TRUE(router.LoggedOn());

  constexpr int kResponses = 150;
  std::string streams[2];
  size_t messages = 0;
  for (int i = 0; i < kResponses; ++i) {
    for (int c = 0; c < 2; ++c) {
      const std::string tag = c == 0 ? "i" : "b";
      streams[c] += wrap(
          JoinMessages({tag + "=" + std::to_string(2 * i), tag + "=" + std::to_string(2 * i + 1)}));
      messages += 2;
    }
  }

  std::vector<Event> events;
  std::thread ownerThread([&] {
    Event event;
    while (events.size() <= messages) {  // the logon's event too
      // One notification stands for everything queued until the queue is
      // found empty; it names the kind of the first of those events.
      const unsigned message = owner.Wait();
      ASSERT_TRUE(router.TakeNext(event));
      EXPECT_EQ(message,
                event.kind == EventKind::Data ? WM_DELIVER_DATA : WM_DELIVER_AUTHENTICATION);
      do {
        events.push_back(event);
      } while (router.TakeNext(event));
    }
  });
  auto reader = [](HostedAssembler& assembler, const std::string& stream, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<size_t> sizes;
    for (size_t total = 0; total < stream.size(); total += sizes.back()) {
      sizes.push_back(1 + rng() % 700);
    }
    Feed(assembler, stream, sizes);
  };
  std::thread first(reader, std::ref(interactiveAssembler), std::cref(streams[0]), 1u);
  std::thread second(reader, std::ref(bcastAssembler), std::cref(streams[1]), 2u);
  first.join();
  second.join();
  ownerThread.join();

  ASSERT_EQ(events.size(), messages + 1);
  EXPECT_EQ(events[0].kind, EventKind::Authentication);
  EXPECT_EQ(events[0].text, "true|10000|Logon success");
  int next[2] = {0, 0};
  for (size_t i = 1; i < events.size(); ++i) {
    ASSERT_EQ(events[i].kind, EventKind::Data);
    const int c = events[i].text[0] == 'i' ? 0 : 1;
    EXPECT_EQ(events[i].text.substr(2), std::to_string(next[c]++)) << events[i].text;
  }
  EXPECT_EQ(next[0], 2 * kResponses);
  EXPECT_EQ(next[1], 2 * kResponses);
  Event none;
  EXPECT_FALSE(router.TakeNext(none));
  EXPECT_EQ(packets.load(), static_cast<int32_t>(messages + 1));
}

INSTANTIATE_TEST_SUITE_P(Receive, TwoReaders,
                         ::testing::Values(Framed{false, false}, Framed{false, true},
                                           Framed{true, false}, Framed{true, true}),
                         [](const ::testing::TestParamInfo<Framed>& info) {
                           return std::string(info.param.compressed ? "Compressed" : "Http") +
                                  (info.param.encrypted ? "Encrypted" : "Plain");
                         });

}  // namespace
}  // namespace corvane::test
