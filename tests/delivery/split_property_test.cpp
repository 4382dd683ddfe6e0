// Splitting and counting as invariants over generated blocks: STX-introduced
// messages come out whole, in order, one packet per STX; a block that does not
// begin with STX is dropped; and before the logon every message up to the successful response is a logon
// response, every one after it data.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "delivery/router.h"

namespace corvane {
namespace {

constexpr char kStx = '\x02';

std::vector<Event> Drain(CMessageRouter& router) {
  std::vector<Event> events;
  Event e;
  while (router.TakeNext(e)) events.push_back(e);
  return events;
}

// A router past a successful logon, so that every message becomes a data event.
struct LoggedOn {
  size_t posted = 0;
  std::atomic<int32_t> packets{0};
  CMessageRouter router{[this](unsigned) {
    ++posted;
    return true;
  }};

  LoggedOn() {
    Route(std::string(1, kStx) + "70=10000");
    Drain(router);
    posted = 0;
    packets = 0;
  }

  int Route(const std::string& block) {
    return router.RouteBlock(block, {LinkId::Interactive, false, &packets}).status;
  }

  // The texts of the events routed since, all of which must be data events.
  std::vector<std::string> Routed() {
    std::vector<std::string> texts;
    for (const Event& e : Drain(router)) {
      RC_ASSERT(e.kind == EventKind::Data);
      texts.push_back(e.text);
    }
    return texts;
  }
};

std::string Block(const std::vector<std::string>& messages) {
  std::string block;
  for (const std::string& m : messages) block += kStx + m;
  return block;
}

// Any bytes, zero bytes included, but no STX.
rc::Gen<std::string> Text() {
  return rc::gen::container<std::string>(rc::gen::distinctFrom(rc::gen::arbitrary<char>(), kStx));
}

// Messages a block can carry: the first may be empty, the others may not. (An
// empty message after the first puts two STX side by side, and the second one
// is then read as the one that introduces the next message.)
rc::Gen<std::vector<std::string>> Messages() {
  return rc::gen::map(rc::gen::pair(Text(), rc::gen::container<std::vector<std::string>>(
                                                rc::gen::nonEmpty(Text()))),
                      [](std::pair<std::string, std::vector<std::string>> p) {
                        p.second.insert(p.second.begin(), std::move(p.first));
                        return p.second;
                      });
}

// Bytes with STX among them often.
rc::Gen<std::string> StxRichBytes() {
  return rc::gen::container<std::string>(
      rc::gen::weightedOneOf<char>({{1, rc::gen::just(kStx)}, {3, rc::gen::arbitrary<char>()}}));
}

RC_GTEST_PROP(SplitProperty, RoutesEveryMessageInOrderAndCountsOnePacketEach, ()) {
  const auto messages = *Messages();
  LoggedOn r;
  RC_ASSERT(r.Route(Block(messages)) == 0);
  RC_ASSERT(r.Routed() == messages);
  RC_ASSERT(r.packets.load() == static_cast<int32_t>(messages.size()));
  // One notification for the whole block, however many messages it holds.
  RC_ASSERT(r.posted == (messages.empty() ? 0u : 1u));
}

// Whatever follows the first STX: every STX counts one packet and is dropped,
// every other byte reaches exactly one message, in block order.
RC_GTEST_PROP(SplitProperty, KeepsEveryByteButStxAndCountsEveryStx, ()) {
  const std::string block = kStx + *StxRichBytes();
  LoggedOn r;
  RC_ASSERT(r.Route(block) == 0);
  std::string joined;
  for (const std::string& m : r.Routed()) {
    RC_ASSERT(m.find(kStx) == std::string::npos);
    joined += m;
  }
  std::string expected = block;
  std::erase(expected, kStx);
  RC_ASSERT(joined == expected);
  RC_ASSERT(r.packets.load() ==
            static_cast<int32_t>(std::count(block.begin(), block.end(), kStx)));
}

RC_GTEST_PROP(SplitProperty, BlockNotStartingWithStxRoutesAndCountsNothing, ()) {
  const std::string block =
      *rc::gen::distinctFrom(rc::gen::arbitrary<char>(), kStx) + *StxRichBytes();
  LoggedOn r;
  RC_ASSERT(r.Route(block) == 0);
  RC_ASSERT(r.Routed().empty());
  RC_ASSERT(r.packets.load() == 0);
  RC_ASSERT(r.posted == 0u);
}

// Before the logon: the messages up to and including the first successful logon
// response become authentication events, the ones after it in the same block
// data events with their text.
RC_GTEST_PROP(SplitProperty, MessagesAfterTheSuccessfulLogonResponseAreData, ()) {
  // Texts without '=' hold no tag 70 value that could log on.
  const auto noTags = rc::gen::container<std::string>(
      rc::gen::suchThat(rc::gen::arbitrary<char>(), [](char c) { return c != kStx && c != '='; }));
  const auto before = *rc::gen::container<std::vector<std::string>>(rc::gen::nonEmpty(noTags));
  const auto after = *rc::gen::container<std::vector<std::string>>(rc::gen::nonEmpty(Text()));
  std::vector<std::string> messages = before;
  messages.push_back("70=10000");
  messages.insert(messages.end(), after.begin(), after.end());

  std::atomic<int32_t> packets{0};
  CMessageRouter router([](unsigned) { return true; });
  RC_ASSERT(router.RouteBlock(Block(messages), {LinkId::Interactive, false, &packets}).status ==
            0);
  RC_ASSERT(router.LoggedOn());
  const auto events = Drain(router);
  RC_ASSERT(events.size() == messages.size());
  for (size_t i = 0; i <= before.size(); ++i)
    RC_ASSERT(events[i].kind == EventKind::Authentication);
  RC_ASSERT(events[before.size()].text == "true|10000|Logon success");
  for (size_t i = 0; i < after.size(); ++i) {
    RC_ASSERT(events[before.size() + 1 + i].kind == EventKind::Data);
    RC_ASSERT(events[before.size() + 1 + i].text == after[i]);
  }
  RC_ASSERT(packets.load() == static_cast<int32_t>(messages.size()));
}

}  // namespace
}  // namespace corvane
