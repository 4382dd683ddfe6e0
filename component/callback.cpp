#include "component/callback.h"

namespace corvane {
namespace {

class FunctionCallback final : public CallbackTarget {
 public:
  explicit FunctionCallback(CallbackFunction function) : m_function(std::move(function)) {}
  void Call(CComponentMethods& component, const std::string& text) override {
    if (m_function) m_function(component, text);
  }

 private:
  CallbackFunction m_function;
};

}  // namespace

void CallbackTarget::Deliver(CComponentMethods& component, const Event& event) {
  const size_t zero = event.text.find('\0');
  if (zero == std::string::npos) {
    Call(component, event.text);
  } else {
    Call(component, event.text.substr(0, zero));
  }
}

std::shared_ptr<CallbackTarget> MakeCallback(CallbackFunction function) {
  return std::make_shared<FunctionCallback>(std::move(function));
}

}  // namespace corvane
