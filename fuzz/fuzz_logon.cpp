// Logon interpretation and tag reading through a router.
//
// GetTagValue is checked against a second reading of the same rule (pairs
// split at "|", key and value at the first "=", a pair without "=" is its own
// key and value, the last pair with the tag wins). A response routed while
// logged off gives one authentication event "true|CODE|STATUS" with CODE the
// value of tag 70 and STATUS the router's status text; a success code logs on,
// any other code leaves the state logged off; with encryption on the session
// key becomes the value of tag 394; a later message in the same block is data.
//
// Input: a flags byte (bit 0 encryption, bit 1 a second message after the
// response, bit 2 the tag to read comes first, ended by a zero byte), then the
// response text.
#include <string>
#include <vector>

#include "codec/keys.h"
#include "delivery/router.h"
#include "fuzz/fuzz_support.h"

namespace {

using corvane::fuzz::InputReader;

class Host : public corvane::DeliveryHost {
 public:
  bool Encryption() const override { return encryption; }
  int32_t InteractiveDataSeen() const override { return 1; }
  int32_t BcastDataSeen() const override { return 0; }
  bool PostNotification(unsigned) override { return true; }
  bool encryption = false;
};

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

  FUZZ_CHECK(corvane::CMessageRouter::GetTagValue(text, tag) == ReferenceTag(text, tag));

  // The response alone, or as the first of two messages of a block (a block
  // is split at STX, so the text's own STX bytes make more messages: only a
  // text without them is a single response).
  if (text.find('\x02') != std::string::npos) return 0;
  corvane::SetSessionKey("unchanged");
  Host host;
  host.encryption = (flags & 1) != 0;
  corvane::CMessageRouter router(host);
  const bool second = (flags & 2) != 0;
  router.SplitAndDeliver(second ? "\x02" + text + "\x02next" : "\x02" + text);

  const std::string code = ReferenceTag(text, "70");
  const bool success = IsSuccess(code);
  std::vector<corvane::DeliveredEvent> events;
  corvane::DeliveredEvent event;
  while (router.TakeNext(event)) events.push_back(event);
  FUZZ_CHECK(events.size() == (second ? 2u : 1u));
  FUZZ_CHECK(events[0].kind == corvane::EventKind::Authentication);
  FUZZ_CHECK(events[0].text == "true|" + code + "|" + router.LogonStatus());
  FUZZ_CHECK(router.PendingAuth() == (second && !success ? events[1].text : events[0].text));
  FUZZ_CHECK(router.LoggedOn() == success);
  if (success) FUZZ_CHECK(!router.LogonStatus().empty());
  if (second) {
    FUZZ_CHECK(events[1].kind ==
               (success ? corvane::EventKind::Data : corvane::EventKind::Authentication));
  }
  // The last response interpreted sets the key.
  const std::string_view last = second && !success ? std::string_view("next") : text;
  FUZZ_CHECK(corvane::GetSessionKey() ==
             (host.encryption ? ReferenceTag(last, "394") : "unchanged"));
  FUZZ_CHECK(router.InteractivePacketCount() == (second ? 2 : 1));

  // Called directly, the interpretation gives the same event.
  corvane::CMessageRouter direct(host);
  FUZZ_CHECK(direct.InterpretLogonResponse(text) == 0);
  FUZZ_CHECK(direct.TakeNext(event) && event.text == events[0].text);
  FUZZ_CHECK(direct.LoggedOn() == success);
  return 0;
}
