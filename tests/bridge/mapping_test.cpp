// The bridge's JSON <-> member mapping, its texts and its checks, without a
// browser or a socket: calls go to a real component through MemberCaller.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
#else
#include <iconv.h>
#endif

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tools/bridge/config.h"
#include "tools/bridge/members.h"
#include "tools/bridge/text.h"

namespace corvane::bridge {
namespace {

using json = nlohmann::json;

struct Fixture {
  BridgeConfig config;
  std::unique_ptr<CComponentMethods> component = CComponentMethods::Create();
  std::vector<std::string> events, logs;
  MemberCaller caller{*component, config,
                      [this](std::string_view name, const std::string& text, std::string_view) {
                        events.push_back(std::string(name) + " " + text);
                      },
                      [this](const std::string& line) { logs.push_back(line); }};

  json Reply(const std::string& frame) { return json::parse(caller.HandleFrame(frame).value()); }
  json Call(const std::string& method, const json& args) {
    return Reply(json{{"id", 1}, {"method", method}, {"args", args}}.dump());
  }
};

TEST(BridgeArguments, JsonValuesBecomeTheComponentsArgumentTypes) {
  struct Case {
    json value;
    uint16_t type;  // 0xFFFF: refused
  };
  const Case cases[] = {
      {"text", kVtBstr},
      {"", kVtBstr},
      {5, kVtI4},
      {-1, kVtI4},
      {2147483647, kVtI4},
      {-2147483648LL, kVtI4},
      {2147483648LL, 0xFFFF},  // beyond 32 bits: not silently cut
      {-2147483649LL, 0xFFFF},
      {2.5, kVtR8},  // a fraction stays a double (setKeepAliveTimerDetail ignores it)
      {true, kVtBool},
      {false, kVtBool},
      {nullptr, kVtEmpty},
      {json::array({1}), 0xFFFF},
      {json::object(), 0xFFFF},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value.dump());
    std::string error;
    const std::optional<Variant> v = ToVariant(c.value, &error);
    if (c.type == 0xFFFF) {
      EXPECT_FALSE(v);
      EXPECT_FALSE(error.empty());
      continue;
    }
    ASSERT_TRUE(v);
    EXPECT_EQ(v->vt, c.type);
  }
  std::string error;
  EXPECT_EQ(ToVariant(true, &error)->intValue, -1);  // VARIANT_TRUE
  EXPECT_EQ(ToVariant(-7, &error)->intValue, -7);
}

// The codec flags' rule as a script sees it: any boolean turns the flag off,
// any other type turns it on; setMultiOC resets the codec flags to on.
TEST(BridgeArguments, BooleanRuleOfTheFlagsHoldsOverJson) {
  struct Case {
    const char* calls;  // a JSON array of [method, args] pairs
    bool compression, encryption, multi;
  };
  const Case cases[] = {
      {R"([["setEncryption",[true]]])", true, false, false},
      {R"([["setEncryption",[false]]])", true, false, false},
      {R"([["setEncryption",[false]],["setEncryption",[1]]])", true, true, false},
      {R"([["setEncryption",[false]],["setEncryption",["no"]]])", true, true, false},
      {R"([["setCompression",[false]],["setMultiOC",[1]]])", true, true, true},
      {R"([["setMultiOC",[true]]])", true, true, false},
      {R"([["setMultiOC",[1]],["setCompression",[false]]])", false, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.calls);
    Fixture f;
    for (const json& call : json::parse(c.calls)) {
      EXPECT_EQ(f.Call(call[0], call[1]), (json{{"id", 1}, {"result", nullptr}}));
    }
    const auto s = f.component->GetSnapshot();
    EXPECT_EQ(s.settings->compression, c.compression);
    EXPECT_EQ(s.settings->encryption, c.encryption);
    EXPECT_EQ(s.settings->multiOC, c.multi);
  }
}

TEST(BridgeArguments, SettersCheckTypesAsInScript) {
  Fixture f;
  f.Call("setTimerDetails", {500, "3"});  // one of them not a number: neither changes
  f.Call("setKeepAliveTimerDetail", {2.5});
  auto s = f.component->GetSnapshot();
  EXPECT_EQ(s.settings->reconnectTimeMs, 0);
  EXPECT_EQ(s.settings->reconnectCount, 0);
  EXPECT_EQ(s.settings->keepAliveIntervalMs, 0);
  f.Call("setTimerDetails", {500, 3});
  f.Call("setKeepAliveTimerDetail", {30000});
  s = f.component->GetSnapshot();
  EXPECT_EQ(s.settings->reconnectTimeMs, 500);
  EXPECT_EQ(s.settings->reconnectCount, 3);
  EXPECT_EQ(s.settings->keepAliveIntervalMs, 30000);
  // A user id "-99" stands for none: the stored form is Base64 of ":x".
  f.Call("SetProxyCredentials", {"-99", "x"});
  EXPECT_EQ(f.component->GetSnapshot().settings->proxyAuth.View(), "Ong=");
}

// Arrays nested depth deep.
std::string Nested(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(BridgeMessages, RepliesAndErrors) {
  struct Case {
    std::string frame;
    json reply;
  };
  const Case cases[] = {
      {R"({"id":7,"method":"getPacketCount"})", {{"id", 7}, {"result", 0}}},
      {R"({"id":"a","method":"getRequestCount","args":[]})", {{"id", "a"}, {"result", 0}}},
      {R"({"method":"getRequestCount"})", {{"id", nullptr}, {"result", 0}}},
      {R"({"id":1,"method":"SetServerDetails","args":[5,9001,0,1]})",  // not a string: -1
       {{"id", 1}, {"result", -1}}},
      {R"({"id":1,"method":"Nope","args":[]})", {{"id", 1}, {"error", "no member Nope"}}},
      {R"({"id":1,"method":"getPacketCount","args":[1]})",
       {{"id", 1}, {"error", "getPacketCount takes 0 arguments"}}},
      {R"({"id":1,"method":"setMultiOC","args":[[1]]})",
       {{"id", 1}, {"error", "an argument must be a string, a number, true, false or null"}}},
      {R"({"id":1,"method":"setMultiOC","args":{}})",
       {{"id", 1}, {"error", "args must be an array"}}},
      {R"({"id":1})",
       {{"id", 1}, {"error", R"(a call is {"id": ID, "method": NAME, "args": [...]})"}}},
      {R"([1,2])",
       {{"id", nullptr}, {"error", R"(a call is {"id": ID, "method": NAME, "args": [...]})"}}},
      {R"({"id":2,"method":"handleData","args":[1]})",
       {{"id", 2}, {"error", "a callback is assigned with [true] and emptied with [null]"}}},
      // The host in the component's code page comes back in UTF-8.
      {R"({"id":3,"method":"SetServerDetails","args":["café.example",9001,0,1]})",
       {{"id", 3}, {"error", "server café.example:9001 is not an allowed server"}}},
      // 32 levels, the most a message may nest.
      {R"({"id":)" + Nested(31) + R"(,"method":"x"})",
       {{"id", json::parse(Nested(31))}, {"error", "no member x"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    Fixture f;
    EXPECT_EQ(f.Reply(c.frame), c.reply);
  }
  Fixture f;
  EXPECT_FALSE(f.caller.HandleFrame("{not json"));
  EXPECT_FALSE(f.caller.HandleFrame("\xff"));
  // Nested deeper than 32 levels: refused before anything recurses into it
  // (a million levels would overflow any thread's stack).
  for (const size_t depth : {33, 1000000})
    EXPECT_FALSE(f.caller.HandleFrame(R"({"id":)" + Nested(depth - 1) + R"(,"method":"x"})"));
}

TEST(BridgeMessages, CallbackPropertiesAssignReadAndEmpty) {
  const char* kProperties[] = {
      "handleConnect", "handleConnectionFailure", "handleMaximumReConnection", "handleDisConnect",
      "handleData",    "handleAuthentication",    "handleBCDisConnect"};
  for (const char* name : kProperties) {
    SCOPED_TRACE(name);
    Fixture f;
    EXPECT_EQ(f.Call(name, json::array())["result"], false);
    EXPECT_EQ(f.Call(name, {true})["result"], nullptr);
    EXPECT_EQ(f.Call(name, json::array())["result"], true);
    EXPECT_EQ(f.Call(name, {nullptr})["result"], nullptr);
    EXPECT_EQ(f.Call(name, json::array())["result"], false);
    f.Call(name, {true});
    EXPECT_EQ(f.Call(name, {false})["result"], nullptr);
    EXPECT_EQ(f.Call(name, json::array())["result"], false);
  }
}

// Only assigned slots produce events: a failed connection attempt fires
// handleConnectionFailure "1" once it is assigned, and nothing before.
TEST(BridgeMessages, OnlyAssignedSlotsProduceEvents) {
  Fixture f;
  f.config.allowedServers = {{"127.0.0.1", 1}};
  EXPECT_EQ(f.Call("SetServerDetails", {"127.0.0.1", 1, 0, 1})["result"], 0);
  EXPECT_TRUE(f.events.empty());
  f.Call("handleConnectionFailure", {true});
  EXPECT_EQ(f.Call("SetServerDetails", {"127.0.0.1", 1, 0, 1})["result"], 0);
  EXPECT_EQ(f.events, std::vector<std::string>{"handleConnectionFailure 1"});
}

TEST(BridgeServers, ConnectingCallsNameOnlyAllowedServers) {
  struct Case {
    const char* method;
    json args;
    bool multi;
    const char* refusal;  // nullptr: allowed
  };
  const char* kBadForm = "the server must be named by a host string and a port number";
  const Case cases[] = {
      {"SetServerDetails", {"127.0.0.1", 9001, 0, 1}, false, nullptr},
      {"SetServerDetails", {"127.0.0.1", "9001", 0, 1}, false, nullptr},
      {"SetServerDetails", {"LocalHost", 9001, 0, 0}, false, nullptr},
      {"SetServerDetails",
       {"127.0.0.1", 9003, 0, 1},
       false,
       "server 127.0.0.1:9003 is not an allowed server"},
      {"SetServerDetails",
       {"10.0.0.5", 9001, 0, 1},
       false,
       "server 10.0.0.5:9001 is not an allowed server"},
      // Text the component's decimal-prefix rule would cut is not guessed at.
      {"SetServerDetails", {"127.0.0.1", "9001x", 0, 1}, false, kBadForm},
      {"SetServerDetails", {"127.0.0.1", " 9001", 0, 1}, false, kBadForm},
      {"SetServerDetails", {"127.0.0.1", 9001.5, 0, 1}, false, kBadForm},
      {"SetServerDetails", {"127.0.0.1", 70000, 0, 1}, false, kBadForm},  // 70000 & 0xFFFF
      {"SetServerDetails", {"127.0.0.1", "65536", 0, 1}, false, kBadForm},
      {"SetServerDetails", {"127.0.0.1", 0, 0, 1}, false, kBadForm},
      // With the broadcast connection, SetServerDetails also connects the
      // broadcast server setOCDetails stored: none here, so not allowed.
      {"SetServerDetails",
       {"127.0.0.1", 9001, 9002, 1},
       true,
       "server :9002 is not an allowed server"},
      {"SetServerDetails", {"127.0.0.1", 9001, -1, 1}, true, kBadForm},
      {"SetServerDetails", {"127.0.0.1", 9001, 9009, 1}, false, nullptr},  // unused port
      {"setOCDetails", {"127.0.0.1", "9001", "127.0.0.1", "9002", "", ""}, false, nullptr},
      {"setOCDetails",
       {"127.0.0.1", "9001", "127.0.0.2", "9002", "", ""},
       false,
       "server 127.0.0.2:9002 is not an allowed server"},
      {"setOCDetails", {"127.0.0.1", "9001", nullptr, "9002", "", ""}, false, kBadForm},
      // Hosts compare as written in the list, in UTF-8.
      {"SetServerDetails", {"Café.example", 9001, 0, 1}, false, nullptr},
      {"SetServerDetails",
       {"漢.example", 9001, 0, 1},  // no such character in the code page
       false,
       "server ?.example:9001 is not an allowed server"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + c.args.dump());
    Fixture f;
    f.config.allowedServers = {
        {"127.0.0.1", 9001}, {"127.0.0.1", 9002}, {"localhost", 9001}, {"café.example", 9001}};
    if (c.multi) f.Call("setMultiOC", {1});
    std::vector<Variant> args;
    std::string error;
    for (const json& a : c.args) args.push_back(*ToVariant(a, &error));
    const auto refusal = f.caller.CheckServers(c.method, args);
    if (c.refusal == nullptr)
      EXPECT_FALSE(refusal) << *refusal;
    else
      EXPECT_EQ(refusal.value_or("allowed"), c.refusal);
  }
}

TEST(BridgeServers, ARefusedCallIsAnErrorAndALogLineAndConnectsNowhere) {
  Fixture f;
  f.Call("handleConnect", {true});
  f.Call("handleConnectionFailure", {true});
  const json reply = f.Call("SetServerDetails", {"127.0.0.1", 1, 0, 1});
  EXPECT_EQ(reply, (json{{"id", 1}, {"error", "server 127.0.0.1:1 is not an allowed server"}}));
  EXPECT_TRUE(f.events.empty());  // no attempt, so no failure event either
  EXPECT_EQ(f.logs, std::vector<std::string>{
                        "refused SetServerDetails: server 127.0.0.1:1 is not an allowed server"});
  EXPECT_EQ(f.component->GetSnapshot().Of(LinkId::Interactive).endpoint.port, 0);
}

// The system's own conversion is the oracle of the code page: glibc's iconv,
// or Windows' (here Wine's) code page 1252 table.
#if defined(_WIN32)
std::string Windows1252ToUtf8(const std::string& in) {
  std::wstring wide(in.size(), L'\0');
  const int n = MultiByteToWideChar(1252, 0, in.data(), static_cast<int>(in.size()), wide.data(),
                                    static_cast<int>(wide.size()));
  if (n <= 0) return "<invalid>";
  std::string out(n * 4, '\0');
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(),
                                    static_cast<int>(out.size()), nullptr, nullptr);
  out.resize(m > 0 ? m : 0);
  return out;
}
#else
std::string Iconv(const char* to, const char* from, const std::string& in) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return "<no iconv>";
  std::string out(in.size() * 4 + 4, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size(), dstLeft = out.size();
  char* dst = out.data();
  const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) return "<invalid>";
  out.resize(out.size() - dstLeft);
  return out;
}

// iconv leaves the five bytes the code page does not define undefined;
// Windows gives the C1 control of that value.
std::string Windows1252ToUtf8(const std::string& in) {
  const std::string out = Iconv("UTF-8", "WINDOWS-1252", in);
  return out == "<invalid>" ? Iconv("UTF-8", "ISO-8859-1", in) : out;
}
#endif

TEST(BridgeText, Windows1252BothWaysAgreesWithTheSystem) {
  for (int byte = 1; byte < 256; ++byte) {
    SCOPED_TRACE(byte);
    const std::string narrow(1, static_cast<char>(byte));
    EXPECT_EQ(NarrowToUtf8(narrow), Windows1252ToUtf8(narrow));
    EXPECT_EQ(Utf8ToNarrow(NarrowToUtf8(narrow)), narrow);
  }
  EXPECT_EQ(Utf8ToNarrow("a\xe6\xbc\xa2z"), "a?z");  // U+6F22 has no byte
  EXPECT_EQ(Utf8ToNarrow("\xf0\x9f\x98\x80"), "?");  // nor has U+1F600
  EXPECT_EQ(Utf8ToNarrow(std::string("a\0b", 3)), std::string("a\0b", 3));
  // What is not UTF-8 is '?', and the text goes on after it.
  EXPECT_EQ(Utf8ToNarrow("\xc3(z"), "?(z");              // a lead byte without its continuation
  EXPECT_EQ(Utf8ToNarrow("\xed\xa0\x80z"), "?z");        // a surrogate
  EXPECT_EQ(Utf8ToNarrow("\xc0\xafz\xe2\x82"), "??z?");  // overlong; cut short
}

TEST(BridgeConfig, OriginsHostsAndServers) {
  BridgeConfig config;
  config.allowedOrigins = {"http://127.0.0.1:8080", "https://App.Example"};
  struct Origin {
    const char* origin;
    bool allowed;
  };
  const Origin origins[] = {{"http://127.0.0.1:8080", true},
                            {"HTTP://127.0.0.1:8080", true},
                            {"http://127.0.0.1:8080/", true},
                            {"https://app.example", true},
                            {"http://127.0.0.1:8081", false},
                            {"http://127.0.0.1", false},
                            {"https://127.0.0.1:8080", false},
                            {"http://app.example", false},
                            {"null", false},
                            {"", false},
                            {"*", false},
                            {"http://127.0.0.1:8080/x", false},
                            {"http://u@127.0.0.1:8080", false}};
  for (const Origin& o : origins) EXPECT_EQ(OriginAllowed(config, o.origin), o.allowed) << o.origin;

  struct Host {
    const char* host;
    bool loopback;
  };
  const Host hosts[] = {{"127.0.0.1:8765", true},
                        {"127.0.0.1", true},
                        {"127.1.2.3:1", true},
                        {"localhost:8765", true},
                        {"LOCALHOST", true},
                        {"[::1]:8765", true},
                        {"[::1]", true},
                        {"evil.example:8765", false},
                        {"127.0.0.1.nip.io", false},
                        {"localhost.evil", false},
                        {"128.0.0.1", false},
                        {"127.0.0.256", false},
                        {"127.0.0", false},
                        {"", false},
                        {"127.0.0.1:x", false},
                        {"[::2]:8765", false},
                        {"0177.0.0.1", false}};
  for (const Host& h : hosts) EXPECT_EQ(HostIsLoopback(h.host), h.loopback) << h.host;

  struct Server {
    const char* text;
    std::optional<ServerAddress> parsed;
  };
  const Server servers[] = {{"127.0.0.1:9001", ServerAddress{"127.0.0.1", 9001}},
                            {"Example.COM:1", ServerAddress{"example.com", 1}},
                            {"[::1]:9001", ServerAddress{"::1", 9001}},
                            {"127.0.0.1", std::nullopt},
                            {"127.0.0.1:", std::nullopt},
                            {":9001", std::nullopt},
                            {"127.0.0.1:65536", std::nullopt},
                            {"127.0.0.1:-1", std::nullopt},
                            {"::1:9001", std::nullopt}};
  for (const Server& s : servers) EXPECT_EQ(ParseServerAddress(s.text), s.parsed) << s.text;
}

}  // namespace
}  // namespace corvane::bridge
