// A program built against an installed Corvane (cmake --install): creates a
// component, assigns a callback, sets the two connections' mode and reads the
// packet count, without connecting anywhere. Exits 0 when every call succeeded.
#include <cstdio>
#include <memory>
#include <string>

#include "component/callback.h"
#include "component/client.h"
#include "component/component_methods.h"
#include "component/variant.h"

int main() {
  corvane::HResult created = corvane::kS_OK;
  std::unique_ptr<corvane::CComponentMethods> component =
      corvane::CComponentMethods::Create(&created);
  if (!component || created != corvane::kS_OK) {
    std::fprintf(stderr, "consumer: no component (0x%08x)\n", static_cast<unsigned>(created));
    return 1;
  }
  int failures = 0;
  auto expect = [&failures](corvane::HResult result, const char* what) {
    std::printf("%s: 0x%08x\n", what, static_cast<unsigned>(result));
    if (result != corvane::kS_OK) ++failures;
  };
  expect(component->setMultiOC(corvane::Variant::I4(1)), "setMultiOC(1)");
  expect(component->putref_handleData(
             corvane::MakeCallback([](corvane::CComponentMethods&, const std::string& text) {
               std::printf("data %s\n", text.c_str());
             })),
         "putref_handleData");
  std::shared_ptr<corvane::CallbackTarget> slot;
  expect(component->get_handleData(&slot), "get_handleData");
  if (!slot) {
    std::fprintf(stderr, "consumer: the callback was not kept\n");
    ++failures;
  }
  corvane::Variant packets;
  expect(component->getPacketCount(&packets), "getPacketCount");
  std::printf("packets %d\n", packets.intValue);
  if (packets.intValue != 0) ++failures;
  std::printf("pending events %d\n", component->PumpEvents());
  return failures == 0 ? 0 : 1;
}
