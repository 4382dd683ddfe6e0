// The bridge's handling of a page's messages (tools/bridge/members.cpp): the
// only code that reads what a page sends once its connection is open.
//
// Input: one or more frames separated by zero bytes (no JSON text holds one),
// handled in order by one component, as a page's frames are. Checks: nothing
// throws; every reply is valid JSON, an object with the id and exactly one of
// result and error; a frame that is refused (no reply) is not JSON or nests
// deeper than 32 levels, and a JSON frame within that depth is answered, with
// the frame's own id when it is an object that has one.
//
// The first frame is read as a hello first (tools/bridge/hello.h), as the
// session does: a hello served is answered with valid JSON naming a level the
// bridge speaks; a refused one closes with 4000 or 4001 and a reason that
// fits a close frame (123 bytes); anything else goes on as a call.
//
// The component's session is abandoned before the first frame: the connecting
// calls go through their checks and the component's argument rules, but no
// input makes an attempt (none reaches the network or waits).
#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>

#include "component/component_methods.h"
#include "fuzz/fuzz_support.h"
#include "tools/bridge/hello.h"
#include "tools/bridge/members.h"

namespace {

using corvane::CComponentMethods;
using corvane::bridge::BridgeConfig;
using corvane::bridge::MemberCaller;
using corvane::fuzz::InputReader;
using json = nlohmann::json;

// The deepest nesting of a JSON text, read by itself (strings skipped): the
// oracle of the bridge's depth limit.
int Depth(std::string_view text) {
  int depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (inString) {
      if (ch == '\\')
        ++i;
      else if (ch == '"')
        inString = false;
    } else if (ch == '"') {
      inString = true;
    } else if (ch == '[' || ch == '{') {
      deepest = std::max(deepest, ++depth);
    } else if (ch == ']' || ch == '}') {
      --depth;
    }
  }
  return deepest;
}

const BridgeConfig& Config() {
  static const BridgeConfig config = [] {
    BridgeConfig c;
    c.allowedServers = {{"127.0.0.1", 9001}, {"café.example", 9002}, {"::1", 9003}};
    return c;
  }();
  return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<CComponentMethods> component = CComponentMethods::Create();
  FUZZ_CHECK(component);
  component->GetSession().Core().Abandon();
  MemberCaller caller(
      *component, Config(), [](std::string_view, const std::string&, std::string_view) {},
      [](const std::string&) {});

  InputReader in(data, size);
  bool first = true;
  do {
    const std::string_view frame = in.Until('\0');
    if (first) {
      first = false;
      const corvane::bridge::HelloOutcome hello = corvane::bridge::ReadHello(frame);
      using Kind = corvane::bridge::HelloOutcome::Kind;
      if (hello.kind == Kind::kRefuse) {
        FUZZ_CHECK(hello.closeCode == 4000 || hello.closeCode == 4001);
        FUZZ_CHECK(hello.answer.size() <= 123);
        return 0;
      }
      if (hello.kind == Kind::kServe) {
        const json answer = json::parse(hello.answer, nullptr, false);
        FUZZ_CHECK(!answer.is_discarded() && answer["hello"]["protocol"] == hello.level);
        FUZZ_CHECK(hello.level >= corvane::bridge::kProtocolMin &&
                   hello.level <= corvane::bridge::kProtocolMax);
        continue;
      }
    }
    const std::optional<std::string> reply = caller.HandleFrame(frame);
    const bool isJson = json::accept(frame);
    if (!reply) {
      FUZZ_CHECK(!isJson || Depth(frame) > 32);
      continue;
    }
    FUZZ_CHECK(isJson && Depth(frame) <= 32);
    const json answer = json::parse(*reply, nullptr, false);
    FUZZ_CHECK(!answer.is_discarded() && answer.is_object() && answer.contains("id"));
    FUZZ_CHECK(answer.contains("result") != answer.contains("error"));
    FUZZ_CHECK(answer.size() == 2);
    const json message = json::parse(frame);
    if (message.is_object() && message.contains("id")) FUZZ_CHECK(answer["id"] == message["id"]);
  } while (!in.Empty());
  return 0;
}
