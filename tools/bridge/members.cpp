// JSON calls of the component's members: see members.h.
#include "tools/bridge/members.h"

#include <cstdio>
#include <limits>
#include <memory>

#include "component/callback.h"
#include "component/component_methods.h"
#include "component/members.h"
#include "tools/bridge/text.h"

namespace corvane::bridge {

namespace {

using json = nlohmann::json;
using Args = std::vector<Variant>;

// Deepest nesting of arrays and objects a message may have. Copying a value
// (the id into the reply) and writing one recurse once per level, so without
// a bound a 64 KiB frame of '[' would need more than the 1 MiB stack of a
// Windows thread. A call nests two levels; an id may add a few.
constexpr int kMaxNesting = 32;

// Replies and events are written as JSON whatever text they carry: a byte
// that is not UTF-8 becomes U+FFFD instead of an exception.
std::string Dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string HResultText(HResult hr) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
  return text;
}

// A port the component will use: a number by its value, a string of digits by
// its decimal value, 1 to 65535 (the socket layer keeps only the low 16 bits of
// other values). Anything else (a sign, blanks, trailing text that the
// component's decimal-prefix rule would skip) is not accepted for a connection
// the bridge must check.
std::optional<int32_t> CheckedPort(const Variant& value) {
  const Variant& v = value.Deref();
  int32_t port = -1;
  if (v.vt == kVtI4 || v.vt == kVtI2) {
    port = v.intValue;
  } else if (v.vt == kVtBstr && !v.text.empty() && v.text.size() <= 5) {
    port = 0;
    for (char ch : v.text) {
      if (ch < '0' || ch > '9') return std::nullopt;
      port = port * 10 + (ch - '0');
    }
  }
  if (port < 1 || port > 65535) return std::nullopt;
  return port;
}

}  // namespace

std::optional<Variant> ToVariant(const json& value, std::string* error) {
  switch (value.type()) {
    case json::value_t::null:
      return Variant::Empty();
    case json::value_t::boolean:
      return Variant::Bool(value.get<bool>());
    case json::value_t::string:
      return Variant::Str(Utf8ToNarrow(value.get_ref<const std::string&>()));
    case json::value_t::number_integer: {
      const int64_t n = value.get<int64_t>();
      if (n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max())
        return Variant::I4(static_cast<int32_t>(n));
      break;
    }
    case json::value_t::number_unsigned: {
      const uint64_t n = value.get<uint64_t>();
      if (n <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max()))
        return Variant::I4(static_cast<int32_t>(n));
      break;
    }
    case json::value_t::number_float:
      return Variant::R8(value.get<double>());
    default:
      *error = "an argument must be a string, a number, true, false or null";
      return std::nullopt;
  }
  *error = "an integer argument must fit in 32 bits";
  return std::nullopt;
}

json FromVariant(const Variant& value) {
  const Variant& v = value.Deref();
  switch (v.vt) {
    case kVtI2:
    case kVtI4:
    case kVtInt:
      return v.intValue;
    case kVtBool:
      return v.intValue != 0;
    case kVtR8:
      return v.doubleValue;
    case kVtBstr:
      return NarrowToUtf8(v.text);
    default:
      return nullptr;
  }
}

namespace {
// A page's callback: the event's text and, for a feed message the component
// conflates, its key, so that the page can conflate what waits for it too.
class EventTarget final : public CallbackTarget {
 public:
  EventTarget(MemberCaller::EventSink events, std::string_view name)
      : m_events(std::move(events)), m_name(name) {}
  void Call(CComponentMethods&, const std::string& text) override { m_events(m_name, text, {}); }
  void Deliver(CComponentMethods& component, const Event& event) override {
    const std::string text = event.text.substr(0, event.text.find('\0'));
    if (event.kind != EventKind::Data || event.link != LinkId::Broadcast) {
      m_events(m_name, text, {});
      return;
    }
    const std::shared_ptr<const Settings> settings = component.GetSession().CurrentSettings();
    const std::string key =
        settings->conflation.On() ? GetTagValue(text, settings->conflation.tag) : std::string();
    m_events(m_name, text, key);
  }

 private:
  MemberCaller::EventSink m_events;
  std::string_view m_name;
};
}  // namespace

MemberCaller::MemberCaller(CComponentMethods& component, const BridgeConfig& config,
                           EventSink events, Log log)
    : m_component(component),
      m_config(config),
      m_events(std::move(events)),
      m_log(std::move(log)) {}

std::optional<std::string> MemberCaller::CheckServers(std::string_view method,
                                                      const Args& args) const {
  const bool ocDetails = method == "setOCDetails";
  if (!ocDetails && method != "SetServerDetails") return std::nullopt;
  // Calls the component refuses by their own argument check connect nowhere.
  if (args[0].Type() != kVtBstr || args[1].Type() == kVtInt) return std::nullopt;
  // SetServerDetails connects the broadcast server too when the broadcast
  // connection is used: at the host that setOCDetails stored (none before it).
  const SessionSnapshot snapshot = m_component.GetSnapshot();
  const Variant storedBcastHost = Variant::Str(snapshot.Of(LinkId::Broadcast).endpoint.name);
  std::vector<std::pair<const Variant*, const Variant*>> servers = {{&args[0], &args[1]}};
  if (ocDetails)
    servers.emplace_back(&args[2], &args[3]);
  else if (snapshot.settings->multiOC)
    servers.emplace_back(&storedBcastHost, &args[2]);
  for (const auto& [host, port] : servers) {
    const std::optional<int32_t> number = CheckedPort(*port);
    if (host->Type() != kVtBstr || !number)
      return "the server must be named by a host string and a port number";
    // Compared as the allowed servers are written, in UTF-8 (each byte of
    // the code page is one character, so no two hosts read alike).
    const ServerAddress address{NarrowToUtf8(host->Deref().text), *number};
    if (!ServerAllowed(m_config, address))
      return "server " + ToString(address) + " is not an allowed server";
  }
  return std::nullopt;
}

MemberCaller::Outcome MemberCaller::Call(std::string_view method, const json& args) {
  Outcome out;
  Args values;
  for (const json& arg : args) {
    std::string error;
    std::optional<Variant> value = ToVariant(arg, &error);
    if (!value) return {false, nullptr, error};
    values.push_back(std::move(*value));
  }
  // A callback property is read with no arguments and assigned with one.
  const Member* member = FindMember(
      method, kMethod | (values.empty() ? kPropertyGet : kPropertyPutRef), NameMatch::kExact);
  if (member == nullptr) return {false, nullptr, "no member " + std::string(method)};
  if (member->kind == kPropertyGet) {
    out.result = member->invoke(m_component, nullptr).result.object != nullptr;
    return out;
  }
  if (member->kind == kPropertyPutRef) {
    const json& value = args[0];
    if (values.size() > 1 || !(value.is_null() || value.is_boolean()))
      return {false, nullptr, "a callback is assigned with [true] and emptied with [null]"};
    Variant slot;
    if (value == true)
      slot = Variant::Dispatch(std::make_shared<EventTarget>(m_events, member->name));
    member->invoke(m_component, &slot);
    return out;
  }
  const size_t arity = static_cast<size_t>(member->inArgs);
  if (values.size() > arity)
    return {false, nullptr, std::string(method) + " takes " + std::to_string(arity) + " arguments"};
  values.resize(arity);
  if (std::optional<std::string> refused = CheckServers(method, values)) {
    m_log("refused " + std::string(method) + ": " + *refused);
    return {false, nullptr, *refused};
  }
  const MemberResult r = member->invoke(m_component, values.data());
  // The arguments' texts may be credentials: overwritten before they go.
  for (Variant& value : values) value.Wipe();
  if (r.hr != kS_OK) {
    std::string error = std::string(method) + " failed (HRESULT " + HResultText(r.hr);
    if (r.result.vt != kVtEmpty) error += ", result " + Dump(FromVariant(r.result));
    return {false, nullptr, error + ")"};
  }
  out.result = FromVariant(r.result);
  return out;
}

std::optional<std::string> MemberCaller::HandleFrame(std::string_view frame) {
  try {
    json message = ParsePageJson(frame, kMaxNesting);
    if (message.is_discarded()) return std::nullopt;
    return Dump(Reply(message));
  } catch (const std::exception& e) {
    // Nothing a page sends may end the bridge; the page learns only that the
    // call failed.
    m_log(std::string("a call failed: ") + e.what());
    return R"({"id":null,"error":"internal error"})";
  }
}

json MemberCaller::Reply(json& message) {
  json reply = json::object();
  reply["id"] = message.is_object() && message.contains("id") ? message["id"] : json(nullptr);
  Outcome outcome;
  if (!message.is_object() || !message.contains("method") || !message["method"].is_string()) {
    outcome = {false, nullptr, "a call is {\"id\": ID, \"method\": NAME, \"args\": [...]}"};
  } else if (message.contains("args") && !message["args"].is_array()) {
    outcome = {false, nullptr, "args must be an array"};
  } else {
    const json none = json::array();
    json* args = message.contains("args") ? &message["args"] : nullptr;
    try {
      outcome = Call(message["method"].get_ref<const std::string&>(), args ? *args : none);
    } catch (const std::exception& e) {
      outcome = {false, nullptr, std::string("internal error: ") + e.what()};
    }
    // The arguments' texts may be credentials: overwritten before they go.
    if (args != nullptr && args->is_array()) {
      for (json& arg : *args) {
        if (arg.is_string()) SecureWipe(arg.get_ref<std::string&>());
      }
    }
  }
  if (outcome.ok)
    reply["result"] = std::move(outcome.result);
  else
    reply["error"] = std::move(outcome.error);
  return reply;
}

}  // namespace corvane::bridge
