#include "platform/tls.h"

namespace corvane::tls {

const char* FailureName(Failure failure) {
  switch (failure) {
    case Failure::None:
      return "none";
    case Failure::UnknownIssuer:
      return "unknown issuer";
    case Failure::NameMismatch:
      return "name mismatch";
    case Failure::Expired:
      return "expired";
    case Failure::NotYetValid:
      return "not yet valid";
    case Failure::PinMismatch:
      return "pin mismatch";
    case Failure::Protocol:
      return "protocol";
    case Failure::Other:
      return "other";
  }
  return "other";
}

bool PinWellFormed(std::string_view pin) {
  constexpr std::string_view kPrefix = "sha256/";
  if (pin.substr(0, kPrefix.size()) != kPrefix) return false;
  pin.remove_prefix(kPrefix.size());
  // 32 bytes: 43 characters and one '='.
  if (pin.size() != 44 || pin[43] != '=') return false;
  for (size_t i = 0; i < 43; ++i) {
    const char c = pin[i];
    const bool base64 = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
    if (!base64) return false;
  }
  return true;
}

}  // namespace corvane::tls
