// Splitting, counting, routing and logon interpretation, and the event queue
// that hands every routed message to the owner thread exactly once.
#include "delivery/router.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/keys.h"
#include "protocol/wire.h"

namespace corvane {
namespace {

using wire::kStx;

class Host : public DeliveryHost {
 public:
  bool encryption = false;
  int32_t interactiveSeen = 1;
  int32_t bcastSeen = 0;
  bool postFails = false;
  std::vector<unsigned> posted;

  bool Encryption() const override { return encryption; }
  int32_t InteractiveDataSeen() const override { return interactiveSeen; }
  int32_t BcastDataSeen() const override { return bcastSeen; }
  bool PostNotification(unsigned message) override {
    if (postFails) return false;
    posted.push_back(message);
    return true;
  }
};

std::vector<DeliveredEvent> Drain(CMessageRouter& router) {
  std::vector<DeliveredEvent> events;
  DeliveredEvent e;
  while (router.TakeNext(e)) events.push_back(e);
  return events;
}

std::vector<std::string> Texts(const std::vector<DeliveredEvent>& events) {
  std::vector<std::string> texts;
  for (const DeliveredEvent& e : events) texts.push_back(e.text);
  return texts;
}

// Logged on, so that every message comes out as a data event with its text.
struct LoggedOn {
  Host host;
  CMessageRouter router{host};
  LoggedOn() {
    router.InterpretLogonResponse("70=10000");
    Drain(router);
    host.posted.clear();
  }
};

// ---- Splitting and counting ----

struct SplitCase {
  const char* name;
  std::string block;
  int32_t length;  // -1: the one-argument form
  std::vector<std::string> messages;
  int32_t packets;
};

class Split : public ::testing::TestWithParam<SplitCase> {};

TEST_P(Split, RoutesAndCounts) {
  const SplitCase& c = GetParam();
  LoggedOn r;
  const int result = c.length < 0 ? r.router.SplitAndDeliver(c.block)
                                  : r.router.SplitAndDeliver(c.length, c.block);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(Texts(Drain(r.router)), c.messages);
  EXPECT_EQ(r.router.InteractivePacketCount(), c.packets);
  // One notification stands for the whole block.
  EXPECT_EQ(r.host.posted.size(), c.messages.empty() ? 0u : 1u);
}

std::string S(std::string_view text) {
  std::string s(text);
  for (char& ch : s) {
    if (ch == '^') ch = kStx;
  }
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, Split,
    ::testing::Values(SplitCase{"empty", "", -1, {}, 0},
                      SplitCase{"no_leading_stx", S("A^B"), -1, {}, 0},
                      SplitCase{"stx_alone", S("^"), -1, {""}, 1},
                      SplitCase{"one", S("^A"), -1, {"A"}, 1},
                      SplitCase{"one_with_trailing_stx", S("^A^"), -1, {"A"}, 2},
                      SplitCase{"three", S("^A^B^C"), -1, {"A", "B", "C"}, 3},
                      SplitCase{"doubled_stx", S("^A^^B^"), -1, {"A", "B"}, 4},
                      SplitCase{"empty_then_text", S("^^A"), -1, {"", "A"}, 2},
                      SplitCase{"length_form_cuts", S("^ABCD"), 3, {"AB"}, 1},
                      SplitCase{"length_form_longer", S("^AB"), 99, {"AB"}, 1},
                      SplitCase{"length_form_zero", S("^AB"), 0, {}, 0},
                      SplitCase{"high_bytes_kept", S("^\xe9t\xe9"), -1, {"\xe9t\xe9"}, 1}),
    [](const ::testing::TestParamInfo<SplitCase>& info) { return std::string(info.param.name); });

struct CountCase {
  int32_t interactiveSeen, bcastSeen;
  int32_t interactive, bcast;
};

class Counting : public ::testing::TestWithParam<CountCase> {};

TEST_P(Counting, GoesToTheCounterOfTheFirstConnectionWithData) {
  const CountCase& c = GetParam();
  LoggedOn r;
  r.host.interactiveSeen = c.interactiveSeen;
  r.host.bcastSeen = c.bcastSeen;
  r.router.SplitAndDeliver(S("^A^B^"));
  EXPECT_EQ(r.router.InteractivePacketCount(), c.interactive);
  EXPECT_EQ(r.router.BcastPacketCount(), c.bcast);
  EXPECT_EQ(Drain(r.router).size(), 2u);  // delivered whatever is counted
}

INSTANTIATE_TEST_SUITE_P(Delivery, Counting,
                         ::testing::Values(CountCase{1, 0, 3, 0}, CountCase{1, 1, 3, 0},
                                           CountCase{0, 1, 0, 3}, CountCase{0, 0, 0, 0}));

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
    EXPECT_EQ(CMessageRouter::GetTagValue(c.message, c.tag), c.value)
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
  Host host;
  CMessageRouter router(host);
  router.SplitAndDeliver(kStx + c.response);
  const std::vector<DeliveredEvent> events = Drain(router);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, EventKind::Authentication);
  const std::string code = CMessageRouter::GetTagValue(c.response, "70");
  EXPECT_EQ(events[0].text, "true|" + code + "|" + c.status);
  EXPECT_EQ(router.LogonStatus(), c.status);
  EXPECT_EQ(router.PendingAuth(), events[0].text);
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
  Host host;
  CMessageRouter router(host);
  router.SplitAndDeliver(S("^70=10001^70=10012^70=10000^70=10001"));
  EXPECT_EQ(Texts(Drain(router)),
            (std::vector<std::string>{"true|10001|Incorrect Client ID/Password",
                                      "true|10012|Incorrect Client ID/Password",
                                      "true|10000|Logon success", "70=10001"}));
  EXPECT_EQ(router.PendingData(), "70=10001");
  // One notification, of the first event's kind, for all four.
  EXPECT_EQ(host.posted, std::vector<unsigned>{WM_DELIVER_AUTHENTICATION});
}

TEST(LogonSequence, SessionKeyFromEveryResponseWhenEncrypting) {
  Host host;
  CMessageRouter router(host);
  SetSessionKey("unchanged");
  router.InterpretLogonResponse("70=10001|394=1111222233334444");
  EXPECT_EQ(GetSessionKey(), "unchanged");  // encryption off: not taken
  host.encryption = true;
  router.InterpretLogonResponse("70=10001|394=1111222233334444");
  EXPECT_EQ(GetSessionKey(), "1111222233334444");
  router.InterpretLogonResponse("70=10001");  // a failure without the tag empties it
  EXPECT_EQ(GetSessionKey(), "");
  router.InterpretLogonResponse("70=10000|394=5555666677778888");
  EXPECT_EQ(GetSessionKey(), "5555666677778888");
}

TEST(LogonSequence, ResetLogsOffAndZeroesCountsButKeepsTexts) {
  LoggedOn r;
  r.router.SplitAndDeliver(S("^A^B"));
  r.router.Reset();
  EXPECT_FALSE(r.router.LoggedOn());
  EXPECT_EQ(r.router.InteractivePacketCount(), 0);
  EXPECT_EQ(r.router.LogonStatus(), "Logon success");
  EXPECT_EQ(r.router.PendingData(), "B");
  // Queued events survive the reset.
  EXPECT_EQ(Texts(Drain(r.router)), (std::vector<std::string>{"A", "B"}));
  // Logged off again: the next message is a logon response.
  r.router.SplitAndDeliver(S("^70=10008"));
  EXPECT_EQ(Drain(r.router)[0].text, "true|10008|User Already Logged In");
}

// ---- The queue ----

// Several messages routed before the owner thread runs: each comes out once.
TEST(EventQueue, EveryMessageOnceInRoutingOrder) {
  Host host;
  CMessageRouter router(host);
  router.SplitAndDeliver(S("^70=10001^70=10000^d1^d2"));
  router.SplitAndDeliver(S("^d3"));
  const std::vector<DeliveredEvent> events = Drain(router);
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
      r.router.RouteMessage(text);
    } else if (step[0] == 'c') {
      EXPECT_TRUE(r.router.QueueEvent(EventKind::Connect, text));
    } else if (step[0] == 't') {
      DeliveredEvent e;
      if (r.router.TakeNext(e)) taken.push_back(e.text);
    } else {
      for (const DeliveredEvent& e : Drain(r.router)) taken.push_back(e.text);
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

// Formerly LostNotificationLosesItsEventOnly: a notification that cannot be
// posted now loses nothing. Its event stays queued and goes out, in order,
// with the next notification.
TEST(EventQueue, FailedPostKeepsItsEventQueued) {
  LoggedOn r;
  r.router.SplitAndDeliver(S("^a"));
  EXPECT_EQ(Texts(Drain(r.router)), std::vector<std::string>{"a"});
  r.host.postFails = true;
  r.router.SplitAndDeliver(S("^kept"));
  r.host.postFails = false;
  r.router.SplitAndDeliver(S("^b"));
  EXPECT_EQ(r.host.posted.size(), 2u);  // "a"'s and "b"'s; "kept" rides with "b"
  EXPECT_EQ(Texts(Drain(r.router)), (std::vector<std::string>{"kept", "b"}));
  EXPECT_EQ(r.router.PendingData(), "b");
}

// Connection events join the same queue, behind the data routed before them.
TEST(EventQueue, ConnectionEventsKeepTheirPlaceAmongData) {
  LoggedOn r;
  r.router.SplitAndDeliver(S("^before"));
  EXPECT_TRUE(r.router.QueueEvent(EventKind::BCDisConnect, "false"));
  r.router.SplitAndDeliver(S("^after"));
  const std::vector<DeliveredEvent> events = Drain(r.router);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[1].kind, EventKind::BCDisConnect);
  EXPECT_EQ(Texts(events), (std::vector<std::string>{"before", "false", "after"}));
  EXPECT_EQ(r.host.posted, std::vector<unsigned>{WM_DELIVER_DATA});
  // Its post failing, the event stays queued for the owner's next pump.
  r.host.postFails = true;
  EXPECT_TRUE(r.router.QueueEvent(EventKind::Connect, "true"));
  EXPECT_EQ(Texts(Drain(r.router)), std::vector<std::string>{"true"});
}

// Both readers route while logged off: the first success logs on, and no data
// event may reach the owner thread ahead of that success's own event.
class ThreadedHost : public DeliveryHost {
 public:
  bool Encryption() const override { return false; }
  int32_t InteractiveDataSeen() const override { return 1; }
  int32_t BcastDataSeen() const override { return 0; }
  bool PostNotification(unsigned message) override {
    std::lock_guard<std::mutex> lock(mutex);
    posted.push_back(message);
    return true;
  }
  std::mutex mutex;
  std::vector<unsigned> posted;
};

TEST(EventQueue, LogonAndDataKeepTheirOrderAcrossThreads) {
  for (int round = 0; round < 20; ++round) {
    ThreadedHost host;
    CMessageRouter router(host);
    std::atomic<bool> go{false};
    auto reader = [&](char tag) {
      while (!go.load()) {
      }
      for (int i = 0; i < 200; ++i) {
        const std::string m =
            i == 50 && tag == 'i' ? "70=10000" : "70=10001|" + std::string(1, tag);
        router.SplitAndDeliver(kStx + m);
      }
    };
    std::thread a(reader, 'i'), b(reader, 'b');
    go.store(true);
    a.join();
    b.join();
    const std::vector<DeliveredEvent> events = Drain(router);
    ASSERT_EQ(events.size(), 400u);
    // Nothing was taken meanwhile: the first event's one notification.
    ASSERT_EQ(host.posted, std::vector<unsigned>{WM_DELIVER_AUTHENTICATION});
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
    EXPECT_EQ(router.InteractivePacketCount(), 400);
  }
}

}  // namespace
}  // namespace corvane
