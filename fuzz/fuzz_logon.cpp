// Logon interpretation and tag reading through a router.
//
// GetTagValue is checked against a second reading of the same rule (pairs
// split at "|", key and value at the first "=", a pair without "=" is its own
// key and value, the last pair with the tag wins). A response routed while
// logged off gives one authentication event "true|CODE|STATUS" with CODE the
// value of tag 70 and STATUS the router's status text; a success code logs on,
// any other code leaves the state logged off; with encryption on routing
// reports the value of tag 394 as the session key; a later message in the
// same block is data.
//
// Input: a flags byte (bit 0 encryption, bit 1 a second message after the
// response, bit 2 the tag to read comes first, ended by a zero byte), then the
// response text.
#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "delivery/router.h"
#include "fuzz/fuzz_support.h"

namespace {

using corvane::fuzz::InputReader;

std::string ReferenceTag(std::string_view message, std::string_view tag) {
  std::string result;
  size_t start = 0;
  while (start < message.size()) {
    size_t end = message.find('|', start);
    if (end == std::string_view::npos) end = message.size();
    const std::string_view pair = message.substr(start, end - start);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == tag)
      result = std::string(eq == std::string_view::npos ? pair : pair.substr(eq + 1));
    start = end + 1;
  }
  return result;
}

bool IsSuccess(const std::string& code) {
  return code == "10000" || code == "10006" || code == "10004" || code == "10019" ||
         code == "10020";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const uint8_t flags = in.Byte();
  std::string tag = "70";
  if ((flags & 4) != 0) tag = std::string(in.Until('\0'));
  const std::string text(in.Rest());

  FUZZ_CHECK(corvane::GetTagValue(text, tag) == ReferenceTag(text, tag));

  // The response alone, or as the first of two messages of a block (a block
  // is split at STX, so the text's own STX bytes make more messages: only a
  // text without them is a single response).
  if (text.find('\x02') != std::string::npos) return 0;
  const bool encryption = (flags & 1) != 0;
  corvane::CMessageRouter router([](unsigned) { return true; });
  std::atomic<int32_t> packets{0};
  const bool second = (flags & 2) != 0;
  const corvane::CMessageRouter::Routed routed =
      router.RouteBlock(second ? "\x02" + text + "\x02next" : "\x02" + text,
                        {corvane::LinkId::Interactive, encryption, &packets});
  FUZZ_CHECK(routed.status == 0);

  const std::string code = ReferenceTag(text, "70");
  const bool success = IsSuccess(code);
  std::vector<corvane::Event> events;
  corvane::Event event;
  while (router.TakeNext(event)) events.push_back(event);
  FUZZ_CHECK(events.size() == (second ? 2u : 1u));
  FUZZ_CHECK(events[0].kind == corvane::EventKind::Authentication);
  FUZZ_CHECK(events[0].text == "true|" + code + "|" + router.LogonStatus());
  FUZZ_CHECK(events[0].Code() == code);
  FUZZ_CHECK(router.LoggedOn() == success);
  if (success) FUZZ_CHECK(!router.LogonStatus().empty());
  if (second) {
    FUZZ_CHECK(events[1].kind ==
               (success ? corvane::EventKind::Data : corvane::EventKind::Authentication));
  }
  // The last response interpreted gives the key, only with encryption on.
  const std::string_view last = second && !success ? std::string_view("next") : text;
  FUZZ_CHECK(routed.sessionKey ==
             (encryption ? std::optional<std::string>(ReferenceTag(last, "394")) : std::nullopt));
  FUZZ_CHECK(packets.load() == (second ? 2 : 1));

  // Interpreted alone, the response gives the same event.
  const corvane::LogonOutcome outcome = corvane::InterpretLogon(text, "");
  FUZZ_CHECK(events[0].text == "true|" + outcome.code + "|" + outcome.status);
  FUZZ_CHECK(outcome.success == success);
  return 0;
}
