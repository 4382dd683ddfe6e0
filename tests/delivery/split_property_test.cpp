// Splitting and counting as invariants over generated blocks: STX-introduced
// messages come out whole, in order, one packet per STX; a block that does not
// begin with STX is dropped; the length form reads no byte past its length; and
// before the logon every message up to the successful response is a logon
// response, every one after it data.
#include <gtest/gtest.h>
#include <rapidcheck/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "delivery/router.h"

namespace corvane {
namespace {

constexpr char kStx = '\x02';

class Host : public DeliveryHost {
 public:
  size_t posted = 0;

  bool Encryption() const override { return false; }
  int32_t InteractiveDataSeen() const override { return 1; }
  int32_t BcastDataSeen() const override { return 0; }
  bool PostNotification(unsigned /*message*/) override {
    ++posted;
    return true;
  }
};

std::vector<DeliveredEvent> Drain(CMessageRouter& router) {
  std::vector<DeliveredEvent> events;
  DeliveredEvent e;
  while (router.TakeNext(e)) events.push_back(e);
  return events;
}

// A router past a successful logon, so that every message becomes a data event.
struct LoggedOn {
  Host host;
  CMessageRouter router{host};

  LoggedOn() {
    router.InterpretLogonResponse("70=10000");
    Drain(router);
    host.posted = 0;
  }

  // The texts of the events routed since, all of which must be data events.
  std::vector<std::string> Routed() {
    std::vector<std::string> texts;
    for (const DeliveredEvent& e : Drain(router)) {
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
  RC_ASSERT(r.router.SplitAndDeliver(Block(messages)) == 0);
  RC_ASSERT(r.Routed() == messages);
  RC_ASSERT(r.router.InteractivePacketCount() == static_cast<int32_t>(messages.size()));
  // One notification for the whole block, however many messages it holds.
  RC_ASSERT(r.host.posted == (messages.empty() ? 0u : 1u));
}

// Whatever follows the first STX: every STX counts one packet and is dropped,
// every other byte reaches exactly one message, in block order.
RC_GTEST_PROP(SplitProperty, KeepsEveryByteButStxAndCountsEveryStx, ()) {
  const std::string block = kStx + *StxRichBytes();
  LoggedOn r;
  RC_ASSERT(r.router.SplitAndDeliver(block) == 0);
  std::string joined;
  for (const std::string& m : r.Routed()) {
    RC_ASSERT(m.find(kStx) == std::string::npos);
    joined += m;
  }
  std::string expected = block;
  std::erase(expected, kStx);
  RC_ASSERT(joined == expected);
  RC_ASSERT(r.router.InteractivePacketCount() ==
            static_cast<int32_t>(std::count(block.begin(), block.end(), kStx)));
}

RC_GTEST_PROP(SplitProperty, BlockNotStartingWithStxRoutesAndCountsNothing, ()) {
  const std::string block =
      *rc::gen::distinctFrom(rc::gen::arbitrary<char>(), kStx) + *StxRichBytes();
  LoggedOn r;
  RC_ASSERT(r.router.SplitAndDeliver(block) == 0);
  RC_ASSERT(r.Routed().empty());
  RC_ASSERT(r.router.InteractivePacketCount() == 0);
  RC_ASSERT(r.host.posted == 0u);
}

// Cut after the k-th message, the length form routes and counts the first k
// messages; the rest of the block, STX-introduced messages too, is not read.
RC_GTEST_PROP(SplitProperty, LengthFormStopsAtItsLength, ()) {
  const auto messages = *Messages();
  const auto k = *rc::gen::inRange<size_t>(0, messages.size() + 1);
  const std::vector<std::string> kept(messages.begin(),
                                      messages.begin() + static_cast<std::ptrdiff_t>(k));
  const std::string block = Block(messages);
  LoggedOn r;
  RC_ASSERT(r.router.SplitAndDeliver(static_cast<int32_t>(Block(kept).size()), block) == 0);
  RC_ASSERT(r.Routed() == kept);
  RC_ASSERT(r.router.InteractivePacketCount() == static_cast<int32_t>(k));

  // Any length: the same as the one-argument form on that many bytes.
  const auto length = *rc::gen::inRange<int32_t>(0, static_cast<int32_t>(block.size()) + 8);
  LoggedOn cut;
  LoggedOn prefix;
  cut.router.SplitAndDeliver(length, block);
  prefix.router.SplitAndDeliver(block.substr(0, static_cast<size_t>(length)));
  RC_ASSERT(cut.Routed() == prefix.Routed());
  RC_ASSERT(cut.router.InteractivePacketCount() == prefix.router.InteractivePacketCount());
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

  Host host;
  CMessageRouter router(host);
  RC_ASSERT(router.SplitAndDeliver(Block(messages)) == 0);
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
  RC_ASSERT(router.InteractivePacketCount() == static_cast<int32_t>(messages.size()));
}

}  // namespace
}  // namespace corvane
