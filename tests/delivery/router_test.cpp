// Splitting, counting, routing and logon interpretation, and the event queue
// that hands every routed message to the owner thread exactly once.
#include "delivery/router.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/wire.h"

namespace corvane {
namespace {

using wire::kStx;

// Records the notifications the router posts; fails them on demand.
struct Poster {
  bool postFails = false;
  std::vector<unsigned> posted;
  CMessageRouter::Notifier Notifier() {
    return [this](unsigned message) {
      if (postFails) return false;
      posted.push_back(message);
      return true;
    };
  }
};

std::vector<Event> Drain(CMessageRouter& router) {
  std::vector<Event> events;
  Event e;
  while (router.TakeNext(e)) events.push_back(e);
  return events;
}

std::vector<std::string> Texts(const std::vector<Event>& events) {
  std::vector<std::string> texts;
  for (const Event& e : events) texts.push_back(e.text);
  return texts;
}

std::string S(std::string_view text) {
  std::string s(text);
  for (char& ch : s) {
    if (ch == '^') ch = kStx;
  }
  return s;
}

// Routes a block on the interactive connection, counted on packets.
CMessageRouter::Routed Route(CMessageRouter& router, std::string_view block,
                             std::atomic<int32_t>* packets = nullptr, bool encryption = false) {
  return router.RouteBlock(block, {LinkId::Interactive, encryption, packets});
}

// Logged on, so that every message comes out as a data event with its text.
struct LoggedOn {
  Poster host;
  CMessageRouter router{host.Notifier()};
  std::atomic<int32_t> packets{0};
  LoggedOn() {
    Route(router, S("^70=10000"));
    Drain(router);
    host.posted.clear();
  }
};

// ---- Splitting and counting ----

struct SplitCase {
  const char* name;
  std::string block;
  std::vector<std::string> messages;
  int32_t packets;
};

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, RoutesAndCounts) {
  const SplitCase& c = GetParam();
  LoggedOn r;
  EXPECT_EQ(Route(r.router, c.block, &r.packets).status, 0);
  EXPECT_EQ(Texts(Drain(r.router)), c.messages);
  EXPECT_EQ(r.packets.load(), c.packets);
  // One notification stands for the whole block.
  EXPECT_EQ(r.host.posted.size(), c.messages.empty() ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, Split,
    ::testing::Values(SplitCase{"empty", "", {}, 0}, SplitCase{"no_leading_stx", S("A^B"), {}, 0},
                      SplitCase{"stx_alone", S("^"), {""}, 1}, SplitCase{"one", S("^A"), {"A"}, 1},
                      SplitCase{"one_with_trailing_stx", S("^A^"), {"A"}, 2},
                      SplitCase{"three", S("^A^B^C"), {"A", "B", "C"}, 3},
                      SplitCase{"doubled_stx", S("^A^^B^"), {"A", "B"}, 4},
                      SplitCase{"empty_then_text", S("^^A"), {"", "A"}, 2},
                      SplitCase{"high_bytes_kept", S("^\xe9t\xe9"), {"\xe9t\xe9"}, 1}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

TEST(Split, UncountedWithoutACounterButDeliveredAll) {
  LoggedOn r;
  Route(r.router, S("^A^B^"));
  EXPECT_EQ(Drain(r.router).size(), 2u);
}

// ---- Logon interpretation ----

TEST(TagValue, ReadsPairs) {
  struct Case {
    std::string_view message, tag, value;
  } cases[] = {
      {"70=10000|97=5", "70", "10000"},
      {"70=10000|97=5", "97", "5"},
      {"70=10000", "7", ""},
      {"70=10001|70=10000", "70", "10000"},
      {"x|70", "70", "70"},
      {"70", "7", ""},
      {"19=a=b", "19", "a=b"},
      {"|70=|", "70", ""},
      {"", "70", ""},
      {"70=1|", "70", "1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetTagValue(c.message, c.tag), c.value)
        << c.message << " tag " << c.tag;
  }
}

struct LogonCase {
  const char* name;
  std::string response;
  std::string status;
  bool loggedOn;
};

class Logon : public ::testing::TestWithParam<LogonCase> {};

TEST_P(Logon, StatusEventAndLoggedOn) {
  const LogonCase& c = GetParam();
  Poster host;
  CMessageRouter router(host.Notifier());
  Route(router, kStx + c.response);
  const std::vector<Event> events = Drain(router);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EventKind::Authentication);
  const std::string code = GetTagValue(c.response, "70");
  EXPECT_EQ(events[0].text, "true|" + code + "|" + c.status);
  // The typed view reads the same code and status.
  EXPECT_EQ(events[0].Code(), code);
  EXPECT_EQ(events[0].Status(), c.status);
  EXPECT_EQ(router.LogonStatus(), c.status);
  EXPECT_EQ(router.LoggedOn(), c.loggedOn);
  EXPECT_EQ(host.posted, std::vector<unsigned>{WM_DELIVER_AUTHENTICATION});
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, Logon,
    ::testing::Values(
        LogonCase{"success", "70=10000", "Logon success", true},
        LogonCase{"password_expires", "70=10004|97=5", "Password expires in 5 days", true},
        LogonCase{"password_changed", "70=10006|97=45",
                  "New Password Changed Successfully Password expires in 45 days", true},
        LogonCase{"account_expires", "70=10020|997=30", "Account expires in 30 days", true},
        LogonCase{"both_expire", "70=10019|97=5|997=30",
                  "Password expires in 5 daysAccount expires in 30days", true},
        LogonCase{"last_code_counts", "70=10001|70=10000", "Logon success", true},
        LogonCase{"incorrect", "70=10001", "Incorrect Client ID/Password", false},
        LogonCase{"incorrect_2", "70=10002", "Incorrect Client ID/Password", false},
        LogonCase{"disabled", "70=10003", "Account is disabled. Contact Admin", false},
        LogonCase{"invalid_password", "70=10005",
                  "Invalid password. Account is disabled. Contact Admin", false},
        LogonCase{"expired", "70=10007", "Your password expired, Please change the password",
                  false},
        LogonCase{"already", "70=10008", "User Already Logged In", false},
        LogonCase{"validation", "70=10009", "Password validation Failed", false},
        LogonCase{"server_text", "70=10010|19=Try again later, please", "Try again later, please",
                  false},
        LogonCase{"connection_type", "70=10011", "Invalid Connection Type", false},
        LogonCase{"same_password", "70=10013", "New Password cannot be same as previous passwords",
                  false},
        LogonCase{"purge", "70=10015", "Invalid Purge value in Logon Request", false},
        LogonCase{"suspended", "70=10016", "User suspended", false},
        LogonCase{"deleted", "70=10017", "User deleted", false},
        LogonCase{"lapsed", "70=10018", "Account disabled due to lapse of account expiry date",
                  false},
        LogonCase{"denied", "70=10022", "Access Denied", false},
        LogonCase{"oms_down", "70=10024", " OMS Server is not up.", false},
        LogonCase{"orvex", "70=10025", "Orvex login not allowed for user", false},
        LogonCase{"orvex_lite", "70=10026", "Orvex Lite login not allowed for user", false},
        LogonCase{"palko", "70=10027", "Palko login not allowed for user", false},
        // Unrecognised on a fresh router: the status is still empty.
        LogonCase{"unrecognised", "70=10012", "", false}, LogonCase{"no_code", "1=2", "", false},
        LogonCase{"code_with_blank", "70=10000 ", "", false}),
    [](const ::testing::TestParamInfo<LogonCase>& info) { return std::string(info.param.name); });

TEST(LogonSequence, UnrecognisedCodeKeepsThePreviousStatus) {
  Poster host;
  CMessageRouter router(host.Notifier());
  Route(router, S("^70=10001^70=10012^70=10000^70=10001"));
  EXPECT_EQ(Texts(Drain(router)),
            (std::vector<std::string>{"true|10001|Incorrect Client ID/Password",
                                      "true|10012|Incorrect Client ID/Password",
                                      "true|10000|Logon success", "70=10001"}));
  // One notification, of the first event's kind, for all four.
  EXPECT_EQ(host.posted, std::vector<unsigned>{WM_DELIVER_AUTHENTICATION});
}

// The key is the caller's to apply: routing reports the last one a block's
// responses carried, only while encryption is on, and an absent tag is an
// empty key.
TEST(LogonSequence, SessionKeyFromEveryResponseWhenEncrypting) {
  struct Case {
    std::string block;
    bool encryption;
    std::optional<std::string> key;
  } cases[] = {
      {S("^70=10001|394=1111222233334444"), false, std::nullopt},
      {S("^70=10001|394=1111222233334444"), true, "1111222233334444"},
      {S("^70=10001"), true, ""},
      {S("^70=10001|394=1111^70=10000|394=5555666677778888^after"), true, "5555666677778888"},
  };
  for (const Case& c : cases) {
    Poster host;
    CMessageRouter router(host.Notifier());
    EXPECT_EQ(Route(router, c.block, nullptr, c.encryption).sessionKey, c.key) << c.block;
  }
}

TEST(LogonSequence, ResetLogsOffButKeepsTheStatusAndTheQueue) {
  LoggedOn r;
  Route(r.router, S("^A^B"));
  r.router.Reset();
  EXPECT_FALSE(r.router.LoggedOn());
  EXPECT_EQ(r.router.LogonStatus(), "Logon success");
  // Queued events survive the reset.
  EXPECT_EQ(Texts(Drain(r.router)), (std::vector<std::string>{"A", "B"}));
  // Logged off again: the next message is a logon response.
  Route(r.router, S("^70=10008"));
  EXPECT_EQ(Drain(r.router)[0].text, "true|10008|User Already Logged In");
}

// ---- The queue ----

// Several messages routed before the owner thread runs: each comes out once.
TEST(EventQueue, EveryMessageOnceInRoutingOrder) {
  Poster host;
  CMessageRouter router(host.Notifier());
  Route(router, S("^70=10001^70=10000^d1^d2"));
  Route(router, S("^d3"));
  const std::vector<Event> events = Drain(router);
  ASSERT_EQ(events.size(), 5u);
  const EventKind kinds[] = {EventKind::Authentication, EventKind::Authentication, EventKind::Data,
                             EventKind::Data, EventKind::Data};
  for (size_t i = 0; i < events.size(); ++i) EXPECT_EQ(events[i].kind, kinds[i]) << i;
  EXPECT_EQ(host.posted, std::vector<unsigned>{WM_DELIVER_AUTHENTICATION});
  EXPECT_EQ(Texts(events)[4], "d3");
}

// At most one notification is outstanding: the first event queued while none
// is posts it, and it stays outstanding until the owner finds the queue
// empty. A post that fails loses nothing: its event stays queued and the next
// event posts again. Steps: "r:T" routes data T, "f:T" routes T while posts
// fail, "c:T" queues a connection event, "t" takes one event, "d" takes all.
struct NotifyCase {
  const char* name;
  std::vector<std::string> steps;
  std::vector<unsigned> posted;
  std::vector<std::string> taken;
  bool outstanding;  // afterwards
};

class Notify : public ::testing::TestWithParam<NotifyCase> {};

TEST_P(Notify, OneOutstandingAndNothingLost) {
  const NotifyCase& c = GetParam();
  LoggedOn r;
  std::vector<std::string> taken;
  for (const std::string& step : c.steps) {
    const std::string text = step.size() > 2 ? step.substr(2) : "";
    r.host.postFails = step[0] == 'f';
    if (step[0] == 'r' || step[0] == 'f') {
      Route(r.router, kStx + text);
    } else if (step[0] == 'c') {
      EXPECT_TRUE(r.router.QueueEvent(Event{EventKind::Connect, LinkId::Interactive, text, 0}));
    } else if (step[0] == 't') {
      Event e;
      if (r.router.TakeNext(e)) taken.push_back(e.text);
    } else {
      for (const Event& e : Drain(r.router)) taken.push_back(e.text);
    }
    r.host.postFails = false;
  }
  EXPECT_EQ(r.host.posted, c.posted);
  EXPECT_EQ(taken, c.taken);
  EXPECT_EQ(r.router.NotificationOutstanding(), c.outstanding);
}

constexpr unsigned kD = WM_DELIVER_DATA;
constexpr unsigned kC = WM_DELIVER_CONNECTION;

INSTANTIATE_TEST_SUITE_P(
    EventQueue, Notify,
    ::testing::Values(
        NotifyCase{"one_for_a_burst", {"r:a", "r:b", "r:c"}, {kD}, {}, true},
        NotifyCase{"drained_then_again", {"r:a", "r:b", "d", "r:c"}, {kD, kD}, {"a", "b"}, true},
        NotifyCase{"empty_queue_found", {"r:a", "d"}, {kD}, {"a"}, false},
        NotifyCase{
            "partly_taken_stays", {"r:a", "r:b", "t", "r:c", "d"}, {kD}, {"a", "b", "c"}, false},
        NotifyCase{"failed_post_keeps_event", {"f:a", "r:b", "d"}, {kD}, {"a", "b"}, false},
        NotifyCase{"failed_post_alone", {"f:a"}, {}, {}, false},
        NotifyCase{"failed_then_pumped", {"f:a", "d"}, {}, {"a"}, false},
        NotifyCase{"failures_in_a_row",
                   {"f:a", "f:b", "r:c", "r:d", "d"},
                   {kD},
                   {"a", "b", "c", "d"},
                   false},
        NotifyCase{"kind_of_the_first_event",
                   {"c:true", "r:a", "d", "r:b"},
                   {kC, kD},
                   {"true", "a"},
                   true},
        NotifyCase{"connection_behind_data", {"r:a", "c:false", "d"}, {kD}, {"a", "false"}, false}),
    [](const ::testing::TestParamInfo<NotifyCase>& info) { return std::string(info.param.name); });

// Connection events join the same queue, behind the data routed before them.
TEST(EventQueue, ConnectionEventsKeepTheirPlaceAmongData) {
  LoggedOn r;
  Route(r.router, S("^before"));
  EXPECT_TRUE(r.router.QueueEvent(Event{EventKind::BCDisConnect, LinkId::Broadcast, "false", 0}));
  Route(r.router, S("^after"));
  const std::vector<Event> events = Drain(r.router);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].kind, EventKind::BCDisConnect);
  EXPECT_EQ(Texts(events), (std::vector<std::string>{"before", "false", "after"}));
  EXPECT_EQ(r.host.posted, std::vector<unsigned>{WM_DELIVER_DATA});
  // Its post failing, the event stays queued for the owner's next pump.
  r.host.postFails = true;
  EXPECT_TRUE(r.router.QueueEvent(Event{EventKind::Connect, LinkId::Interactive, "true", 0}));
  EXPECT_EQ(Texts(Drain(r.router)), std::vector<std::string>{"true"});
}

// Both readers route while logged off: the first success logs on, and no data
// event may reach the owner thread ahead of that success's own event.

TEST(EventQueue, LogonAndDataKeepTheirOrderAcrossThreads) {
  for (int round = 0; round < 20; ++round) {
    std::mutex mutex;
    std::vector<unsigned> posted;
    CMessageRouter router([&](unsigned message) {
      std::lock_guard<std::mutex> lock(mutex);
      posted.push_back(message);
      return true;
    });
    std::atomic<int32_t> packets{0};
    std::atomic<bool> go{false};
    auto reader = [&](char tag) {
      while (!go.load()) {
      }
      for (int i = 0; i < 200; ++i) {
        const std::string m =
            i == 50 && tag == 'i' ? "70=10000" : "70=10001|" + std::string(1, tag);
        router.RouteBlock(kStx + m, {tag == 'i' ? LinkId::Interactive : LinkId::Broadcast, false,
                                     &packets});
      }
    };
    std::thread a(reader, 'i'), b(reader, 'b');
    go.store(true);
    a.join();
    b.join();
    const std::vector<Event> events = Drain(router);
    ASSERT_EQ(events.size(), 400u);
    // Nothing was taken meanwhile: the first event's one notification.
    ASSERT_EQ(posted, std::vector<unsigned>{WM_DELIVER_AUTHENTICATION});
    size_t firstData = events.size();
    for (size_t i = 0; i < events.size(); ++i) {
      if (events[i].kind == EventKind::Data && firstData == events.size()) firstData = i;
    }
    // The success is the last authentication event; every data event follows it.
    ASSERT_GT(firstData, 0u);
    EXPECT_EQ(events[firstData - 1].text, "true|10000|Logon success");
    for (size_t i = firstData; i < events.size(); ++i) {
      EXPECT_EQ(events[i].kind, EventKind::Data);
    }
    EXPECT_EQ(packets.load(), 400);
  }
}

}  // namespace
}  // namespace corvane
