// The component's members over JSON messages.
//
// A call is the text frame {"id": ID, "method": NAME, "args": [...]}; the
// reply is {"id": ID, "result": VALUE} or {"id": ID, "error": REASON}. ID is
// echoed as given (any JSON value). Arguments become the component's argument
// values: a string its narrow text, an integer a 32-bit integer (VT_I4, as a
// script passes a whole number), a number with a fraction a double (VT_R8),
// true/false a boolean (VT_BOOL: so the codec flags' rule "a boolean turns it
// off, whatever its value" holds as in script), null the empty value; a
// missing argument is the empty value. Results: integers, strings, null.
//
// The seven callback properties are members too: NAME with [true] assigns
// the slot (from then on its events are sent as {"event": NAME, "text":
// TEXT}), with [null] or [false] empties it, and with no arguments reads
// whether it is assigned. Only assigned slots produce events, as in-process.
//
// A call that would connect (SetServerDetails, setOCDetails) names its
// servers in its arguments; unless every server it would connect to is
// allowed, the call is refused with an error and the component is not called.
#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "component/component_methods.h"
#include "tools/bridge/config.h"

namespace corvane::bridge {

// A JSON argument as the component's argument value; nullopt (and the
// reason) for an object, an array or an integer beyond 32 bits.
std::optional<Variant> ToVariant(const nlohmann::json& value, std::string* error);
nlohmann::json FromVariant(const Variant& value);

class MemberCaller {
 public:
  // Called on the owner thread with the property name, the narrow text and,
  // for a feed message while conflation is on, its key (else empty).
  using EventSink =
      std::function<void(std::string_view name, const std::string& text, std::string_view key)>;
  using Log = std::function<void(const std::string& line)>;

  MemberCaller(CComponentMethods& component, const BridgeConfig& config, EventSink events, Log log);

  struct Outcome {
    bool ok = true;
    nlohmann::json result;
    std::string error;
  };
  Outcome Call(std::string_view method, const nlohmann::json& args);

  // One text frame: the reply frame, or nullopt when the frame is not JSON
  // or nests arrays and objects more than 32 deep (the connection is then
  // closed with 1007). Events the call fires are given to the sink before
  // this returns, so they precede the reply. It throws nothing, and the
  // reply is valid JSON whatever the page or a server sent (bytes that are
  // not UTF-8 written as U+FFFD).
  std::optional<std::string> HandleFrame(std::string_view frame);

  // The servers a connecting call would reach; an error text when one of
  // them is not allowed (or cannot be told), nullopt when the call may go on.
  std::optional<std::string> CheckServers(std::string_view method,
                                          const std::vector<Variant>& args) const;

 private:
  // The reply to a parsed message (its arguments' texts wiped).
  nlohmann::json Reply(nlohmann::json& message);

  CComponentMethods& m_component;
  const BridgeConfig& m_config;
  EventSink m_events;
  Log m_log;
};

}  // namespace corvane::bridge
