// Callback slots assigned from inside their own callbacks. A page's handler
// often hands its slot to the next stage's handler, or empties it, and then
// goes on using what it holds; the target, and all its function captured, has
// to outlive its own call. Checked for every slot that fires: the connection
// events raised inside the connecting methods and the messages delivered on
// the owner thread.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/component/fixture.h"

namespace corvane::test {
namespace {

using Events = std::vector<std::string>;
using Assign = HResult (CComponentMethods::*)(std::shared_ptr<CallbackTarget>);

// What happened to one self-assigning target: whether its captured state was
// destroyed while its own call was still running, and what it recorded after
// its slot had let go of it.
struct CallWatch {
  bool running = false;
  bool destroyedWhileRunning = false;
  Events seen;
};

// Captured by the target's function; its destructor is the target's end.
struct Sentinel {
  explicit Sentinel(CallWatch& w) : watch(w) {}
  ~Sentinel() {
    if (watch.running) watch.destroyedWhileRunning = true;
  }
  Sentinel(const Sentinel&) = delete;
  Sentinel& operator=(const Sentinel&) = delete;
  CallWatch& watch;
};

// A target that assigns replacement (empty or not) to its own slot and then
// uses what it captured. The slot is meant to hold its only reference.
std::shared_ptr<CallbackTarget> SelfAssigning(CallWatch& watch, Assign assign,
                                              std::shared_ptr<CallbackTarget> replacement) {
  auto sentinel = std::make_shared<Sentinel>(watch);
  std::string prefix = "first handler saw: ";
  return MakeCallback(
      [sentinel, prefix, assign, replacement](CComponentMethods& self, const std::string& text) {
        sentinel->watch.running = true;
        (self.*assign)(replacement);
        sentinel->watch.seen.push_back(prefix + text);
        sentinel->watch.running = false;
      });
}

// Handles posted notifications until one has been handled.
void PumpOne(CComponentMethods& c) {
  int handled = 0;
  ASSERT_TRUE(WaitUntil([&] {
    handled += c.PumpEvents();
    return handled >= 1;
  }));
}

size_t Latest(LoopbackServer& server) { return server.Connections() - 1; }

void Nothing(CComponentMethods&, LoopbackServer&) {}

void Connected(CComponentMethods& c, LoopbackServer& server) {
  ASSERT_EQ(Connect(c, server.Port()), 0);
  ASSERT_TRUE(server.WaitForConnections(1));
}

void LoggedOn(CComponentMethods& c, LoopbackServer& server) {
  Connected(c, server);
  ASSERT_TRUE(server.Send(0, Response({"70=10000"})));
  PumpOne(c);
}

TEST(CallbackSlots, ATargetOutlivesItsOwnCallWhenItAssignsItsSlot) {
  struct Case {
    const char* slot;
    Assign assign;
    std::function<void(CComponentMethods&, LoopbackServer&)> prepare;
    // Raises the slot's event once, and returns when it has been handled.
    std::function<void(CComponentMethods&, LoopbackServer&)> fire;
    std::string text;
  } cases[] = {
      {"handleConnect", &CComponentMethods::putref_handleConnect, Nothing,
       [](CComponentMethods& c, LoopbackServer& server) { Connect(c, server.Port()); }, "true"},
      {"handleConnectionFailure", &CComponentMethods::putref_handleConnectionFailure, Nothing,
       [](CComponentMethods& c, LoopbackServer&) { Connect(c, RefusedPort()); }, "1"},
      {"handleMaximumReConnection", &CComponentMethods::putref_handleMaximumReConnection, Nothing,
       [](CComponentMethods& c, LoopbackServer&) { Connect(c, RefusedPort()); }, "1"},
      {"handleDisConnect", &CComponentMethods::putref_handleDisConnect, Nothing,
       [](CComponentMethods& c, LoopbackServer&) {
         // Nothing connected: the send fails.
         Variant result;
         c.sendRequest(Variant::Str("1=1"), &result);
       },
       "false"},
      {"handleAuthentication", &CComponentMethods::putref_handleAuthentication, Connected,
       [](CComponentMethods& c, LoopbackServer& server) {
         // A refused logon leaves the next response a logon response too.
         ASSERT_TRUE(server.Send(Latest(server), Response({"70=10001"})));
         PumpOne(c);
       },
       "true|10001|Incorrect Client ID/Password"},
      {"handleData", &CComponentMethods::putref_handleData, LoggedOn,
       [](CComponentMethods& c, LoopbackServer& server) {
         ASSERT_TRUE(server.Send(Latest(server), Response({"7=quote"})));
         PumpOne(c);
       },
       "7=quote"},
  };
  for (const auto& test : cases) {
    for (const bool clear : {false, true}) {
      SCOPED_TRACE(std::string(test.slot) + (clear ? ": cleared" : ": replaced"));
      // Declared before the component, which may still hold targets that
      // refer to them.
      LoopbackServer server;
      EventLog log;
      CallWatch watch;
      Events replacementSaw;
      auto c = MakeComponent(log, ComponentOptions());
      ASSERT_TRUE(c);
      test.prepare(*c, server);
      std::shared_ptr<CallbackTarget> replacement;
      if (!clear) {
        replacement = MakeCallback([&replacementSaw](CComponentMethods&, const std::string& text) {
          replacementSaw.push_back(text);
        });
      }
      ((*c).*test.assign)(SelfAssigning(watch, test.assign, replacement));

      test.fire(*c, server);
      EXPECT_FALSE(watch.destroyedWhileRunning);
      EXPECT_EQ(watch.seen, Events{"first handler saw: " + test.text});
      EXPECT_TRUE(replacementSaw.empty());

      // The slot's next event goes to what the first handler put there.
      test.fire(*c, server);
      EXPECT_EQ(watch.seen.size(), 1u);
      EXPECT_EQ(replacementSaw, clear ? Events{} : Events{test.text});
    }
  }
}

}  // namespace
}  // namespace corvane::test
