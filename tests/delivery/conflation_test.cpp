// Conflation in the event queue: a data message whose key has an undelivered
// message replaces that message's text in place; everything else is queued
// as it comes; every message is either delivered or counted as replaced.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "delivery/router.h"
#include "protocol/wire.h"

namespace corvane {
namespace {

using wire::kStx;

struct Queue {
  int64_t now = 0;
  CMessageRouter router{[](unsigned) { return true; }, [this] { return now; }};
  ConflationSettings conflation{"55", 0};
  Queue() {
    router.RouteBlock(std::string(1, kStx) + "70=10000", {});
    Take();
  }
  // Each step: "T" routes message T conflated, "=T" routes it without
  // conflation, "!" queues a connection event, "t" takes one event.
  std::vector<std::string> Run(const std::vector<std::string>& steps) {
    std::vector<std::string> taken;
    for (const std::string& s : steps) {
      if (s == "!") {
        router.QueueEvent(Event{EventKind::BCDisConnect, LinkId::Broadcast, "false", 0});
      } else if (s == "t") {
        Event e;
        if (router.TakeNext(e)) taken.push_back(e.text);
      } else if (s[0] == '=') {
        router.RouteBlock(kStx + s.substr(1), {LinkId::Broadcast, false, nullptr, nullptr});
      } else {
        router.RouteBlock(kStx + s, {LinkId::Broadcast, false, nullptr, &conflation});
      }
    }
    return taken;
  }
  std::vector<std::string> Take() {
    std::vector<std::string> texts;
    Event e;
    while (router.TakeNext(e)) texts.push_back(e.text);
    return texts;
  }
};

struct Case {
  const char* name;
  std::vector<std::string> steps;
  std::vector<std::string> delivered;  // what the steps took, then the rest
  int32_t replaced;
};

class Conflation : public ::testing::TestWithParam<Case> {};

TEST_P(Conflation, ReplacesInPlaceOnlyWhatItMay) {
  const Case& c = GetParam();
  Queue q;
  std::vector<std::string> delivered = q.Run(c.steps);
  const size_t queuedBytes = q.router.QueuedBytes();
  size_t rest = 0;
  for (const std::string& t : q.Take()) {
    rest += t.size();
    delivered.push_back(t);
  }
  EXPECT_EQ(queuedBytes, rest);  // the count follows replaced texts
  EXPECT_EQ(delivered, c.delivered);
  EXPECT_EQ(q.router.ConflatedCount(), c.replaced);
  EXPECT_EQ(q.router.QueuedBytes(), 0u);
  EXPECT_EQ(q.router.QueuedEvents(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Queue, Conflation,
    ::testing::Values(
        Case{"first_position_latest_text",
             {"55=A|1", "55=B|1", "55=A|22", "9=x", "55=B|333"},
             {"55=A|22", "55=B|333", "9=x"},
             2},
        Case{"without_the_tag_never",
             {"9=x", "9=x", "55=|1", "55=|2"},
             {"9=x", "9=x", "55=|1", "55=|2"},
             0},
        Case{"off_changes_nothing", {"=55=A|1", "=55=A|2"}, {"55=A|1", "55=A|2"}, 0},
        Case{"a_conflated_message_meets_an_unconflated_one",
             {"=55=A|1", "55=A|2", "55=A|3"},
             {"55=A|1", "55=A|3"},
             1},
        Case{"a_taken_message_stays_as_it_was", {"55=A|1", "t", "55=A|2"}, {"55=A|1", "55=A|2"}, 0},
        Case{"connection_event_is_a_barrier",
             {"55=A|1", "!", "55=A|2", "55=A|3"},
             {"55=A|1", "false", "55=A|3"},
             1},
        Case{"last_pair_is_the_key", {"55=A|55=B", "55=B"}, {"55=B"}, 1}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Conflation, LogonResponsesAreNeverConflated) {
  CMessageRouter router([](unsigned) { return true; });
  const ConflationSettings conflation{"55", 0};
  const std::string stx(1, kStx);
  router.RouteBlock(stx + "70=10001|55=A" + stx + "70=10001|55=A" + stx + "70=10000|55=A" + stx +
                        "55=A|1" + stx + "55=A|2",
                    {LinkId::Broadcast, false, nullptr, &conflation});
  std::vector<EventKind> kinds;
  Event e;
  while (router.TakeNext(e)) kinds.push_back(e.kind);
  EXPECT_EQ(kinds, (std::vector<EventKind>{EventKind::Authentication, EventKind::Authentication,
                                           EventKind::Authentication, EventKind::Data}));
  EXPECT_EQ(e.text, "55=A|2");
  EXPECT_EQ(router.ConflatedCount(), 1);
  router.Reset();
  EXPECT_EQ(router.ConflatedCount(), 0);
}

// With a minimum interval a key enters the queue at most once per interval;
// what comes between is held, conflated, and queued when it is due.
TEST(Conflation, MinimumIntervalHoldsTheLatest) {
  Queue q;
  q.conflation.minimumIntervalMs = 100;
  EXPECT_EQ(q.Run({"55=A|1", "t"}), std::vector<std::string>{"55=A|1"});
  q.now = 10;
  q.Run({"55=A|2", "55=A|333", "55=B|1"});
  EXPECT_EQ(q.router.QueuedBytes(), std::string("55=A|333").size() + std::string("55=B|1").size());
  EXPECT_EQ(q.Take(), std::vector<std::string>{"55=B|1"});  // A is not due
  q.now = 99;
  q.router.ReleaseDue();
  EXPECT_EQ(q.Take(), std::vector<std::string>{});
  q.now = 100;
  q.router.ReleaseDue();
  EXPECT_EQ(q.Take(), std::vector<std::string>{"55=A|333"});
  EXPECT_EQ(q.router.ConflatedCount(), 1);
  // A connection event first queues what is held.
  q.now = 150;
  q.Run({"55=A|4", "!"});
  EXPECT_EQ(q.Take(), (std::vector<std::string>{"55=A|4", "false"}));
  EXPECT_EQ(q.router.QueuedBytes(), 0u);
}

// Two readers route while the owner takes: every message is delivered or
// counted as replaced, and a key's values never go backwards.
TEST(Conflation, ExactAccountingAcrossThreads) {
  CMessageRouter router([](unsigned) { return true; });
  router.RouteBlock(std::string(1, kStx) + "70=10000", {});
  const ConflationSettings conflation{"55", 0};
  constexpr int kPerReader = 20000;
  std::atomic<int> running{2};
  auto reader = [&](char side) {
    for (int i = 0; i < kPerReader; ++i) {
      const std::string key = std::string(1, side) + std::to_string(i % 7);
      router.RouteBlock(kStx + ("55=" + key + "|34=" + std::to_string(i)),
                        {LinkId::Broadcast, false, nullptr, &conflation});
    }
    running.fetch_sub(1);
  };
  std::thread a(reader, 'a'), b(reader, 'b');
  int64_t delivered = -1;  // the logon response
  std::map<std::string, int> last;
  int backwards = 0;
  for (bool more = true; more;) {
    more = running.load() > 0;
    Event e;
    while (router.TakeNext(e)) {
      ++delivered;
      if (e.kind != EventKind::Data) continue;
      const std::string key = GetTagValue(e.text, "55");
      const int n = std::stoi(GetTagValue(e.text, "34"));
      if (last.count(key) != 0 && n <= last[key]) ++backwards;
      last[key] = n;
    }
  }
  a.join();
  b.join();
  EXPECT_EQ(delivered + router.ConflatedCount(), 2 * kPerReader);
  EXPECT_EQ(backwards, 0);
  for (const auto& [key, n] : last) EXPECT_GE(n, kPerReader - 7) << key;
  EXPECT_EQ(router.QueuedBytes(), 0u);
}

}  // namespace
}  // namespace corvane
