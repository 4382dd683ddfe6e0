// Owner-thread delivery in slices, through a whole component: a flood is
// delivered a bounded slice per pump, exactly once and in order; callbacks
// may pump again or destroy the component while a slice runs; events routed
// by a reader thread during the slices are not lost.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#endif

#include <string>
#include <thread>
#include <vector>

#include "component/component_methods.h"

namespace corvane {
namespace {

constexpr char kStx = '\x02';

// A logged-on component without connections; messages go in as the
// interactive reader would hand them over.
class Slices : public ::testing::Test {
 protected:
  void SetUp() override {
    component = CComponentMethods::Create();
    ASSERT_NE(component, nullptr);
    component->setMultiOC(Variant::Bool(false));
    component->setCompression(Variant::Bool(false));
    component->setEncryption(Variant::Bool(false));
    Feed(std::string(1, kStx) + "70=10000");
    component->PumpEvents();
  }

  void Feed(const std::string& body) { Feed(*component, body); }
  static void Feed(CComponentMethods& c, const std::string& body) {
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    Link& link = c.GetSession().Interactive();
    link.SetDataSeen(true);
    link.Receive(static_cast<int32_t>(response.size()),
                 reinterpret_cast<const unsigned char*>(response.data()));
  }

  // Messages "0" .. "n-1" in blocks of 100.
  static std::string Numbered(int from, int to) {
    std::string block;
    for (int i = from; i < to; ++i) block += kStx + std::to_string(i);
    return block;
  }
  void FeedNumbered(int n) {
    for (int i = 0; i < n; i += 100) Feed(Numbered(i, std::min(n, i + 100)));
  }

  // Every text "0" .. "n-1" exactly once and in order.
  static void ExpectNumbered(const std::vector<std::string>& seen, int n) {
    ASSERT_EQ(seen.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) ASSERT_EQ(seen[i], std::to_string(i)) << i;
  }

  bool Ready() const {
#ifdef _WIN32
    return true;
#else
    pollfd fd{static_cast<int>(component->EventWaitHandle()), POLLIN, 0};
    return poll(&fd, 1, 0) == 1;
#endif
  }

  std::unique_ptr<CComponentMethods> component;
};

// More than a slice's worth: the first pump returns with events left (and
// says so through the wait handle); pumping on delivers each once, in order.
TEST_F(Slices, AFloodGoesOutASliceAtATime) {
  std::vector<std::string> seen;
  component->putref_handleData(
      MakeCallback([&](CComponentMethods&, const std::string& text) { seen.push_back(text); }));
  constexpr int kMessages = 20000;
  FeedNumbered(kMessages);
  const int first = component->PumpEvents();
  EXPECT_GT(first, 0);
  EXPECT_LT(first, kMessages);
  EXPECT_TRUE(Ready());
  int pumps = 1;
  while (seen.size() < static_cast<size_t>(kMessages) && pumps < 100000) {
    component->PumpEvents();
    ++pumps;
  }
  ExpectNumbered(seen, kMessages);
  EXPECT_EQ(component->PumpEvents(), 0);
#ifndef _WIN32
  EXPECT_FALSE(Ready());
#endif
}

#ifdef _WIN32
// However many events are queued, the owner thread's message queue holds one
// notification for them: far from a thread's posted-message quota (10 000),
// and nothing ahead of input and paint but that one message.
TEST_F(Slices, AFloodIsOneWindowMessage) {
  std::vector<std::string> seen;
  component->putref_handleData(
      MakeCallback([&](CComponentMethods&, const std::string& text) { seen.push_back(text); }));
  constexpr int kMessages = 20000;
  FeedNumbered(kMessages);
  const HWND hwnd = reinterpret_cast<HWND>(component->EventWaitHandle());
  std::vector<MSG> queued;
  MSG msg;
  while (PeekMessageW(&msg, hwnd, 0, 0, PM_REMOVE)) queued.push_back(msg);
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(queued[0].message, WM_DELIVER_DATA);
  DispatchMessageW(&queued[0]);
  for (int pumps = 0; seen.size() < kMessages && pumps < 100000; ++pumps) {
    component->PumpEvents();
  }
  ExpectNumbered(seen, kMessages);
}
#endif

// Table: what a data callback does on its k-th call.
enum class Reentry { PumpOnce, PumpUntilIdle, Nothing };

struct ReentryCase {
  const char* name;
  Reentry action;
  int at;  // the call that does it
};

class SliceReentry : public Slices, public ::testing::WithParamInterface<ReentryCase> {};

// A callback that pumps delivers later events inside its own call; every
// event still starts its callback once and in routing order.
TEST_P(SliceReentry, EveryEventOnceInOrder) {
  const ReentryCase& c = GetParam();
  std::vector<std::string> started;
  int calls = 0;
  component->putref_handleData(MakeCallback([&](CComponentMethods& self, const std::string& text) {
    started.push_back(text);
    if (++calls != c.at) return;
    if (c.action == Reentry::PumpOnce) self.PumpEvents();
    if (c.action == Reentry::PumpUntilIdle) {
      while (self.PumpEvents() > 0) {
      }
    }
  }));
  constexpr int kMessages = 3000;
  FeedNumbered(kMessages);
  for (int pumps = 0; started.size() < kMessages && pumps < 100000; ++pumps) {
    component->PumpEvents();
  }
  ExpectNumbered(started, kMessages);
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, SliceReentry,
    ::testing::Values(ReentryCase{"pump_once_first", Reentry::PumpOnce, 1},
                      ReentryCase{"pump_once_later", Reentry::PumpOnce, 500},
                      ReentryCase{"pump_until_idle", Reentry::PumpUntilIdle, 2},
                      ReentryCase{"nothing", Reentry::Nothing, 0}),
    [](const ::testing::TestParamInfo<ReentryCase>& info) { return std::string(info.param.name); });

// The component released inside a callback: the slice stops there, touches
// nothing of it (ASan watches) and the pump returns.
TEST_F(Slices, ACallbackMayDestroyTheComponent) {
  std::vector<std::string> seen;
  CComponentMethods* const raw = component.get();
  raw->putref_handleData(MakeCallback([&](CComponentMethods&, const std::string& text) {
    seen.push_back(text);
    if (text == "2") component.reset();
  }));
  FeedNumbered(10);
  raw->PumpEvents();
  EXPECT_EQ(component, nullptr);
  EXPECT_EQ(seen, (std::vector<std::string>{"0", "1", "2"}));
}

// A reader thread routes while the owner pumps in slices: nothing is lost or
// repeated, whatever the interleaving (TSan watches the sharing).
TEST_F(Slices, RoutingDuringSlicesLosesNothing) {
  std::vector<std::string> seen;
  component->putref_handleData(
      MakeCallback([&](CComponentMethods&, const std::string& text) { seen.push_back(text); }));
  constexpr int kMessages = 30000;
  std::thread reader([&] { FeedNumbered(kMessages); });
  for (int pumps = 0; seen.size() < kMessages && pumps < 10000000; ++pumps) {
    if (component->PumpEvents() == 0) std::this_thread::yield();
  }
  reader.join();
  ExpectNumbered(seen, kMessages);
}

}  // namespace
}  // namespace corvane
