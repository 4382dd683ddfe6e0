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

std::shared_ptr<CallbackTarget> MakeCallback(CallbackFunction function) {
  return std::make_shared<FunctionCallback>(std::move(function));
}

}  // namespace corvane
