// The member table (see members.h). Each row names a member function of
// CComponentMethods; its kind, argument count, result and call are read off
// that function's signature, so they cannot drift apart from it.
#include "component/members.h"

#include <algorithm>
#include <array>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "component/component_methods.h"

namespace corvane {
namespace {

using Slot = std::shared_ptr<CallbackTarget>;

// A get takes the slot's address, a putref the slot; a method takes its
// in-arguments as const Variant& and, with a result, a Variant* last.
template <typename F>
struct Shape;
template <typename... A>
struct Shape<HResult (CComponentMethods::*)(A...)> {
  static constexpr bool kGet = std::is_same_v<std::tuple<A...>, std::tuple<Slot*>>;
  static constexpr bool kPutRef = std::is_same_v<std::tuple<A...>, std::tuple<Slot>>;
  static constexpr int kVariants = (0 + ... + (std::is_same_v<A, const Variant&> ? 1 : 0));
  static constexpr bool kResult = kGet || (false || ... || std::is_same_v<A, Variant*>);
  static constexpr int kIn = kPutRef ? 1 : kVariants;
  static constexpr MemberKind kKind = kGet ? kPropertyGet : kPutRef ? kPropertyPutRef : kMethod;
  static_assert(kGet || kPutRef || kVariants + (kResult ? 1 : 0) == sizeof...(A));
};

// A method: its in-arguments, then the result's address when it has one.
template <auto F, size_t... I>
HResult CallMethod(CComponentMethods& component, [[maybe_unused]] const Variant* args,
                   [[maybe_unused]] Variant* result, std::index_sequence<I...>) {
  if constexpr (Shape<decltype(F)>::kResult)
    return (component.*F)(args[I]..., result);
  else
    return (component.*F)(args[I]...);
}

template <auto F>
MemberResult Invoke(CComponentMethods& component, [[maybe_unused]] const Variant* args) {
  using S = Shape<decltype(F)>;
  MemberResult r;
  if constexpr (S::kGet) {
    Slot slot;
    r.hr = (component.*F)(&slot);
    r.result = Variant::Dispatch(std::move(slot));
  } else if constexpr (S::kPutRef) {
    r.hr = (component.*F)(args[0].Deref().object);
  } else {
    r.hr = CallMethod<F>(component, args, &r.result, std::make_index_sequence<S::kIn>{});
  }
  return r;
}

template <auto F>
constexpr Member Row(std::string_view name, int32_t dispid) {
  using S = Shape<decltype(F)>;
  return {name, dispid, S::kKind, S::kIn, S::kResult, &Invoke<F>};
}

using C = CComponentMethods;
constexpr std::array kMembers = {
    Row<&C::SetProxyCredentials>("SetProxyCredentials", 1),
    Row<&C::SendConnect>("SendConnect", 2),
    Row<&C::ReceiveData>("ReceiveData", 5),
    Row<&C::ConnectToServer>("ConnectToServer", 6),
    Row<&C::SetServerDetails>("SetServerDetails", 7),
    Row<&C::setKeepAliveTimerDetail>("setKeepAliveTimerDetail", 8),
    Row<&C::setTimerDetails>("setTimerDetails", 9),
    Row<&C::setEncryption>("setEncryption", 10),
    Row<&C::setCompression>("setCompression", 11),
    Row<&C::setMultiOC>("setMultiOC", 12),
    Row<&C::get_handleConnect>("handleConnect", 13),
    Row<&C::putref_handleConnect>("handleConnect", 13),
    Row<&C::get_handleConnectionFailure>("handleConnectionFailure", 14),
    Row<&C::putref_handleConnectionFailure>("handleConnectionFailure", 14),
    Row<&C::get_handleMaximumReConnection>("handleMaximumReConnection", 15),
    Row<&C::putref_handleMaximumReConnection>("handleMaximumReConnection", 15),
    Row<&C::get_handleDisConnect>("handleDisConnect", 17),
    Row<&C::putref_handleDisConnect>("handleDisConnect", 17),
    Row<&C::setOCDetails>("setOCDetails", 18),
    Row<&C::get_handleData>("handleData", 19),
    Row<&C::putref_handleData>("handleData", 19),
    Row<&C::get_handleAuthentication>("handleAuthentication", 21),
    Row<&C::putref_handleAuthentication>("handleAuthentication", 21),
    Row<&C::startKeepAlive>("startKeepAlive", 22),
    Row<&C::sendRequest>("sendRequest", 23),
    Row<&C::sendBCRequest>("sendBCRequest", 24),
    Row<&C::get_handleBCDisConnect>("handleBCDisConnect", 25),
    Row<&C::putref_handleBCDisConnect>("handleBCDisConnect", 25),
    Row<&C::getPacketCount>("getPacketCount", 26),
    Row<&C::getRequestCount>("getRequestCount", 27),
    Row<&C::setProxyServerDetails>("setProxyServerDetails", 28),
    // The second interface's.
    Row<&C::setTransportSecurity>("setTransportSecurity", 29),
    Row<&C::setServerPins>("setServerPins", 30),
    Row<&C::getTransportSecurity>("getTransportSecurity", 31),
    Row<&C::setConflation>("setConflation", 32),
    Row<&C::getConflatedCount>("getConflatedCount", 33),
};

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b, NameMatch match) {
  if (match == NameMatch::kExact) return a == b;
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

}  // namespace

std::span<const Member> Members() { return kMembers; }

const Member* FindMember(int32_t dispid, unsigned kinds) {
  for (const Member& m : kMembers)
    if (m.dispid == dispid && (m.kind & kinds) != 0) return &m;
  return nullptr;
}

const Member* FindMember(std::string_view name, unsigned kinds, NameMatch match) {
  for (const Member& m : kMembers)
    if ((m.kind & kinds) != 0 && SameName(m.name, name, match)) return &m;
  return nullptr;
}

}  // namespace corvane
