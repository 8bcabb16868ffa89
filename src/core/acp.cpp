// Reading and writing the ACP messages of the client. Decoding follows the protocol's records:
// required members must be present with the right type, optional ones may be absent or null,
// members the client does not know are ignored. JSON written from a protocol record keeps the
// record's member order (ordered_json) and leaves absent optional members out; JSON written from
// generic values has its members sorted (Json).
#include "core/acp.hpp"

#include <cmath>
#include <initializer_list>

namespace palisk::acp {

namespace {

// Thrown inside the decoders, turned into the parse error at their entry points.
struct Undecodable {};

[[noreturn]] void bad() { throw Undecodable{}; }

RpcError parse_error() { return RpcError::from_code(rpc::code::parse_error); }

const Json& object(const Json& j) {
  if (!j.is_object()) bad();
  return j;
}

// A member that may be absent or null: nullptr then.
const Json* opt(const Json& obj, const char* name) {
  auto it = obj.find(name);
  if (it == obj.end() || it->is_null()) return nullptr;
  return &*it;
}

const Json& req(const Json& obj, const char* name) {
  const Json* v = opt(obj, name);
  if (!v) bad();
  return *v;
}

const std::string& str(const Json& v) {
  if (!v.is_string()) bad();
  return v.get_ref<const std::string&>();
}

std::string req_str(const Json& obj, const char* name) { return str(req(obj, name)); }

OptStr opt_str(const Json& obj, const char* name) {
  const Json* v = opt(obj, name);
  if (!v) return std::nullopt;
  return str(*v);
}

std::uint64_t u64(const Json& v) {
  if (!v.is_number_unsigned() && !(v.is_number_integer() && v.get<std::int64_t>() >= 0)) bad();
  return v.get<std::uint64_t>();
}

const Json::array_t& array(const Json& v) {
  if (!v.is_array()) bad();
  return v.get_ref<const Json::array_t&>();
}

// One of the listed wire values.
const std::string& one_of(const Json& v, std::initializer_list<const char*> values) {
  const std::string& s = str(v);
  for (const char* x : values)
    if (s == x) return s;
  bad();
}

// Generic JSON (sorted members) carried inside a protocol record's output.
OrderedJson generic(const Json& j) {
  if (j.is_object()) {
    OrderedJson o = OrderedJson::object();
    for (auto it = j.begin(); it != j.end(); ++it) o[it.key()] = generic(it.value());
    return o;
  }
  if (j.is_array()) {
    OrderedJson a = OrderedJson::array();
    for (const auto& x : j) a.push_back(generic(x));
    return a;
  }
  switch (j.type()) {
    case Json::value_t::boolean:
      return j.get<bool>();
    case Json::value_t::number_integer:
      return j.get<std::int64_t>();
    case Json::value_t::number_unsigned:
      return j.get<std::uint64_t>();
    case Json::value_t::number_float:
      return j.get<double>();
    case Json::value_t::string:
      return j.get<std::string>();
    default:
      return nullptr;
  }
}

// Copies `_meta` when present.
void meta(OrderedJson& out, const Json& in) {
  if (const Json* m = opt(in, "_meta")) out["_meta"] = generic(*m);
}

std::string compact(const OrderedJson& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict); }

// ---- enumerations reach Python by their capitalised names

std::string tool_kind_name(const std::string& wire) {
  static const std::pair<const char*, const char*> names[] = {
      {"read", "Read"},       {"edit", "Edit"},   {"delete", "Delete"}, {"move", "Move"},
      {"search", "Search"},   {"execute", "Execute"}, {"think", "Think"}, {"fetch", "Fetch"},
      {"switch_mode", "SwitchMode"}, {"other", "Other"}};
  for (auto& [w, n] : names)
    if (wire == w) return n;
  bad();
}

std::string tool_status_name(const std::string& wire) {
  if (wire == "pending") return "Pending";
  if (wire == "in_progress") return "InProgress";
  if (wire == "completed") return "Completed";
  if (wire == "failed") return "Failed";
  bad();
}

std::string stop_reason_name(const std::string& wire) {
  if (wire == "end_turn") return "EndTurn";
  if (wire == "max_tokens") return "MaxTokens";
  if (wire == "max_turn_requests") return "MaxTurnRequests";
  if (wire == "refusal") return "Refusal";
  if (wire == "cancelled") return "Cancelled";
  bad();
}

// ---- content blocks

OrderedJson annotations(const Json& a) {
  object(a);
  OrderedJson o = OrderedJson::object();
  if (const Json* v = opt(a, "audience")) {
    for (const auto& x : array(*v)) one_of(x, {"assistant", "user"});
    o["audience"] = generic(*v);
  }
  if (auto v = opt_str(a, "lastModified")) o["lastModified"] = *v;
  if (const Json* v = opt(a, "priority")) {
    if (!v->is_number()) bad();
    o["priority"] = generic(*v);
  }
  meta(o, a);
  return o;
}

OrderedJson resource_contents(const Json& r) {
  object(r);
  OrderedJson o = OrderedJson::object();
  if (opt(r, "text")) {
    if (auto v = opt_str(r, "mimeType")) o["mimeType"] = *v;
    o["text"] = req_str(r, "text");
  } else {
    o["blob"] = req_str(r, "blob");
    if (auto v = opt_str(r, "mimeType")) o["mimeType"] = *v;
  }
  o["uri"] = req_str(r, "uri");
  meta(o, r);
  return o;
}

// A content block in its protocol form: `type` first, then its members in declared order.
OrderedJson content_block(const Json& b) {
  object(b);
  const std::string& type = one_of(req(b, "type"), {"text", "image", "audio", "resource_link", "resource"});
  OrderedJson o = OrderedJson::object();
  o["type"] = type;
  if (const Json* a = opt(b, "annotations")) o["annotations"] = annotations(*a);
  if (type == "text") {
    o["text"] = req_str(b, "text");
  } else if (type == "image" || type == "audio") {
    o["data"] = req_str(b, "data");
    o["mimeType"] = req_str(b, "mimeType");
    if (type == "image")
      if (auto v = opt_str(b, "uri")) o["uri"] = *v;
  } else if (type == "resource_link") {
    if (auto v = opt_str(b, "description")) o["description"] = *v;
    if (auto v = opt_str(b, "mimeType")) o["mimeType"] = *v;
    o["name"] = req_str(b, "name");
    if (const Json* v = opt(b, "size")) {
      if (!v->is_number_integer()) bad();
      o["size"] = generic(*v);
    }
    if (auto v = opt_str(b, "title")) o["title"] = *v;
    o["uri"] = req_str(b, "uri");
  } else {
    o["resource"] = resource_contents(req(b, "resource"));
  }
  meta(o, b);
  return o;
}

// ---- tool calls

OrderedJson tool_call_content(const Json& c) {
  object(c);
  const std::string& type = one_of(req(c, "type"), {"content", "diff", "terminal"});
  OrderedJson o = OrderedJson::object();
  o["type"] = type;
  if (type == "content") {
    o["content"] = content_block(req(c, "content"));
  } else if (type == "diff") {
    o["path"] = req_str(c, "path");
    auto old_text = opt_str(c, "oldText");
    o["oldText"] = old_text ? OrderedJson(*old_text) : OrderedJson(nullptr);
    o["newText"] = req_str(c, "newText");
  } else {
    o["terminalId"] = req_str(c, "terminalId");
  }
  meta(o, c);
  return o;
}

OrderedJson location(const Json& l) {
  object(l);
  OrderedJson o = OrderedJson::object();
  o["path"] = req_str(l, "path");
  if (const Json* v = opt(l, "line")) o["line"] = u64(*v);
  meta(o, l);
  return o;
}

// Writes an array of protocol records; a value that cannot be written (invalid UTF-8) gives
// nullopt rather than an error.
template <class F>
OrderedJson record_array(const Json& arr, F&& each) {
  OrderedJson out = OrderedJson::array();
  for (const auto& x : array(arr)) out.push_back(each(x));
  return out;
}

OptStr try_compact(const OrderedJson& j) {
  try {
    return compact(j);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

std::string compact_generic(const Json& j) { return rpc::dump(j); }

ev::ToolStart tool_start(const Json& u) {
  ev::ToolStart t;
  t.id = req_str(u, "toolCallId");
  t.title = req_str(u, "title");
  const Json* kind = opt(u, "kind");
  t.kind = tool_kind_name(kind ? str(*kind) : "other");
  const Json* status = opt(u, "status");
  t.status = tool_status_name(status ? str(*status) : "pending");
  // Decoded for validity though not forwarded.
  if (const Json* c = opt(u, "content")) record_array(*c, tool_call_content);
  if (const Json* l = opt(u, "locations")) record_array(*l, location);
  if (const Json* raw = opt(u, "rawInput")) {
    try {
      t.input = compact_generic(*raw);
    } catch (const nlohmann::json::exception&) {
      bad();
    }
  }
  return t;
}

ev::ToolProgress tool_progress(const Json& u) {
  ev::ToolProgress p;
  p.id = req_str(u, "toolCallId");
  if (const Json* s = opt(u, "status")) p.status = tool_status_name(str(*s));
  if (const Json* k = opt(u, "kind")) tool_kind_name(str(*k));
  opt_str(u, "title");
  if (const Json* c = opt(u, "content")) p.content = try_compact(record_array(*c, tool_call_content));
  if (const Json* l = opt(u, "locations")) p.locations = try_compact(record_array(*l, location));
  return p;
}

OrderedJson plan_entry(const Json& e) {
  object(e);
  OrderedJson o = OrderedJson::object();
  o["content"] = req_str(e, "content");
  o["priority"] = one_of(req(e, "priority"), {"high", "medium", "low"});
  o["status"] = one_of(req(e, "status"), {"pending", "in_progress", "completed"});
  meta(o, e);
  return o;
}

OrderedJson command(const Json& c) {
  object(c);
  OrderedJson o = OrderedJson::object();
  o["name"] = req_str(c, "name");
  o["description"] = req_str(c, "description");
  if (const Json* in = opt(c, "input")) {
    object(*in);
    OrderedJson i = OrderedJson::object();
    i["hint"] = req_str(*in, "hint");
    meta(i, *in);
    o["input"] = std::move(i);
  } else {
    o["input"] = nullptr;
  }
  meta(o, c);
  return o;
}

OrderedJson select_option(const Json& s) {
  object(s);
  OrderedJson o = OrderedJson::object();
  o["value"] = req_str(s, "value");
  o["name"] = req_str(s, "name");
  if (auto v = opt_str(s, "description")) o["description"] = *v;
  meta(o, s);
  return o;
}

OrderedJson config_option(const Json& c) {
  object(c);
  OrderedJson o = OrderedJson::object();
  o["id"] = req_str(c, "id");
  o["name"] = req_str(c, "name");
  if (auto v = opt_str(c, "description")) o["description"] = *v;
  if (auto v = opt_str(c, "category")) o["category"] = *v;
  const std::string& type = one_of(req(c, "type"), {"select", "boolean"});
  o["type"] = type;
  if (type == "select") {
    o["currentValue"] = req_str(c, "currentValue");
    const auto& opts = array(req(c, "options"));
    bool grouped = !opts.empty() && opts.front().is_object() && opts.front().contains("group");
    OrderedJson list = OrderedJson::array();
    for (const auto& x : opts) {
      if (!grouped) {
        list.push_back(select_option(x));
        continue;
      }
      object(x);
      OrderedJson g = OrderedJson::object();
      g["group"] = req_str(x, "group");
      g["name"] = req_str(x, "name");
      g["options"] = record_array(req(x, "options"), select_option);
      meta(g, x);
      list.push_back(std::move(g));
    }
    o["options"] = std::move(list);
  } else {
    const Json& v = req(c, "currentValue");
    if (!v.is_boolean()) bad();
    o["currentValue"] = v.get<bool>();
  }
  meta(o, c);
  return o;
}

Json usage(const Json& u) {
  Json out = Json::object();
  out["used"] = u64(req(u, "used"));
  out["size"] = u64(req(u, "size"));
  if (const Json* c = opt(u, "cost")) {
    object(*c);
    const Json& amount = req(*c, "amount");
    if (!amount.is_number()) bad();
    double a = amount.get<double>();
    Json cost = Json::object();
    cost["amount"] = std::isfinite(a) ? Json(amount) : Json(nullptr);
    cost["currency"] = req_str(*c, "currency");
    out["cost"] = std::move(cost);
  } else {
    out["cost"] = nullptr;
  }
  return out;
}

Json session_info(const Json& u) {
  Json out = Json::object();
  auto title = opt_str(u, "title");
  auto updated = opt_str(u, "updatedAt");
  out["title"] = title ? Json(*title) : Json(nullptr);
  out["updated_at"] = updated ? Json(*updated) : Json(nullptr);
  return out;
}

std::vector<TurnEvent> session_update_events(const Json& params) {
  object(params);
  req_str(params, "sessionId");  // every session goes to the same queue
  const Json& u = object(req(params, "update"));
  const std::string& kind = req_str(u, "sessionUpdate");
  std::vector<TurnEvent> out;
  if (kind == "user_message_chunk" || kind == "agent_message_chunk" || kind == "agent_thought_chunk") {
    OrderedJson block = content_block(req(u, "content"));
    opt_str(u, "messageId");
    if (kind != "user_message_chunk" && block["type"] == "text") {
      std::string text = block["text"].get<std::string>();
      if (kind == "agent_message_chunk") out.emplace_back(ev::Text{std::move(text)});
      else out.emplace_back(ev::Thought{std::move(text)});
    }
  } else if (kind == "tool_call") {
    out.emplace_back(tool_start(u));
  } else if (kind == "tool_call_update") {
    ev::ToolProgress p = tool_progress(u);
    bool ends = p.status && (*p.status == "Completed" || *p.status == "Failed");
    std::string id = p.id;
    out.emplace_back(std::move(p));
    if (ends) out.emplace_back(ev::ToolEnd{std::move(id)});
  } else if (kind == "plan") {
    auto j = record_array(req(u, "entries"), plan_entry);
    if (auto s = try_compact(j)) out.emplace_back(ev::Plan{std::move(*s)});
  } else if (kind == "available_commands_update") {
    auto j = record_array(req(u, "availableCommands"), command);
    if (auto s = try_compact(j)) out.emplace_back(ev::Commands{std::move(*s)});
  } else if (kind == "current_mode_update") {
    out.emplace_back(ev::Mode{req_str(u, "currentModeId")});
  } else if (kind == "config_option_update") {
    auto j = record_array(req(u, "configOptions"), config_option);
    if (auto s = try_compact(j)) out.emplace_back(ev::Config{std::move(*s)});
  } else if (kind == "session_info_update") {
    out.emplace_back(ev::SessionInfo{compact_generic(session_info(u))});
  } else if (kind == "usage_update") {
    out.emplace_back(ev::Usage{compact_generic(usage(u))});
  }
  // Any other kind: a newer agent's update this client does not know; nothing to queue.
  return out;
}

template <class F>
auto decoding(F&& f) -> Result<decltype(f()), RpcError> {
  try {
    return f();
  } catch (const Undecodable&) {
    return parse_error();
  } catch (const nlohmann::json::exception&) {
    return parse_error();
  }
}

}  // namespace

// ---------------------------------------------------------------- updates

SessionUpdateData to_session_update(const TurnEvent& e) {
  SessionUpdateData d;
  std::visit(
      [&](const auto& x) {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, ev::Text>) {
          d.kind = UpdateKind::TextDelta;
          d.text = x.text;
        } else if constexpr (std::is_same_v<T, ev::Thought>) {
          d.kind = UpdateKind::ThoughtDelta;
          d.text = x.text;
        } else if constexpr (std::is_same_v<T, ev::ToolStart>) {
          d.kind = UpdateKind::ToolUseStart;
          d.tool_name = x.title;
          d.tool_input = x.input;
          d.tool_use_id = x.id;
          d.tool_kind = x.kind;
          d.tool_status = x.status;
        } else if constexpr (std::is_same_v<T, ev::ToolProgress>) {
          d.kind = UpdateKind::ToolUseUpdate;
          d.tool_use_id = x.id;
          d.tool_status = x.status;
          d.tool_content = x.content;
          d.tool_locations = x.locations;
        } else if constexpr (std::is_same_v<T, ev::ToolEnd>) {
          d.kind = UpdateKind::ToolUseEnd;
          d.tool_use_id = x.id;
        } else if constexpr (std::is_same_v<T, ev::Mode>) {
          d.kind = UpdateKind::ModeChange;
          d.mode_id = x.mode_id;
        } else if constexpr (std::is_same_v<T, ev::Plan>) {
          d.kind = UpdateKind::Plan;
          d.plan_json = x.json;
        } else if constexpr (std::is_same_v<T, ev::Config>) {
          d.kind = UpdateKind::ConfigUpdate;
          d.config_json = x.json;
        } else if constexpr (std::is_same_v<T, ev::Commands>) {
          d.kind = UpdateKind::CommandsUpdate;
          d.commands_json = x.json;
        } else if constexpr (std::is_same_v<T, ev::Usage>) {
          d.kind = UpdateKind::Usage;
          d.usage_json = x.json;
        } else if constexpr (std::is_same_v<T, ev::SessionInfo>) {
          d.kind = UpdateKind::SessionInfo;
          d.session_info_json = x.json;
        } else if constexpr (std::is_same_v<T, ev::Done>) {
          d.kind = UpdateKind::Done;
          d.stop_reason = x.stop_reason;
        } else {
          d.kind = UpdateKind::RateLimit;
          Json params;
          try {
            params = Json::parse(x.params);
          } catch (const nlohmann::json::exception&) {
            params = nullptr;
          }
          Json obj = Json::object();
          obj["method"] = x.method;
          obj["params"] = std::move(params);
          d.rate_limit_json = rpc::dump(obj);
        }
      },
      e);
  return d;
}

Result<std::vector<TurnEvent>, RpcError> read_session_update(const Json& params) {
  return decoding([&] { return session_update_events(params); });
}

TurnEvent extension_event(std::string method, std::string raw_params) {
  return ev::Extension{std::move(method), std::move(raw_params)};
}

// ---------------------------------------------------------------- handshake

Json initialize_params() {
  Json p = Json::object();
  p["protocolVersion"] = 1;
  p["clientCapabilities"] = {{"fs", {{"readTextFile", false}, {"writeTextFile", false}}}, {"terminal", false}};
  p["clientInfo"] = {{"name", "palisk-agent-sdk"}, {"title", nullptr}, {"version", "0.1.0"}};
  return p;
}

Result<Handshake, RpcError> read_initialize_result(const Json& result) {
  return decoding([&] {
    object(result);
    std::uint64_t version = u64(req(result, "protocolVersion"));
    if (version > 0xFFFF) bad();
    Handshake h;
    if (const Json* caps = opt(result, "agentCapabilities")) {
      object(*caps);
      if (const Json* load = opt(*caps, "loadSession")) {
        if (!load->is_boolean()) bad();
        h.capabilities.sessions = load->get<bool>();
      }
    }
    h.capabilities.tools = true;
    if (const Json* info = opt(result, "agentInfo")) {
      object(*info);
      Json out = Json::object();
      out["name"] = req_str(*info, "name");
      auto title = opt_str(*info, "title");
      out["title"] = title ? Json(*title) : Json(nullptr);
      out["version"] = req_str(*info, "version");
      h.agent_info = rpc::dump(out);
    }
    if (const Json* methods = opt(result, "authMethods")) array(*methods);
    return h;
  });
}

// ---------------------------------------------------------------- session requests

namespace {

Json name_values(const Json& arr) {
  Json out = Json::array();
  for (const auto& x : array(arr)) {
    object(x);
    Json v = {{"name", req_str(x, "name")}, {"value", req_str(x, "value")}};
    if (const Json* m = opt(x, "_meta")) v["_meta"] = *m;
    out.push_back(std::move(v));
  }
  return out;
}

// One MCP server description, rewritten from its typed form (members outside it dropped).
Json mcp_server(const Json& s) {
  object(s);
  Json out = Json::object();
  const Json* type = opt(s, "type");
  if (type && str(*type) != "stdio") {
    const std::string& t = one_of(*type, {"http", "sse"});
    out["type"] = t;
    out["name"] = req_str(s, "name");
    out["url"] = req_str(s, "url");
    out["headers"] = name_values(req(s, "headers"));
  } else {
    out["name"] = req_str(s, "name");
    out["command"] = req_str(s, "command");
    Json args = Json::array();
    for (const auto& a : array(req(s, "args"))) args.push_back(str(a));
    out["args"] = std::move(args);
    out["env"] = name_values(req(s, "env"));
  }
  if (const Json* m = opt(s, "_meta")) out["_meta"] = *m;
  return out;
}

std::optional<Json> parse(const OptStr& text) {
  if (!text) return std::nullopt;
  try {
    return Json::parse(*text);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

}  // namespace

Json new_session_params(const std::string& cwd, const OptStr& meta_json, const OptStr& mcp_servers_json) {
  Json p = {{"cwd", cwd}, {"mcpServers", Json::array()}};
  if (auto m = parse(meta_json); m && m->is_object()) p["_meta"] = std::move(*m);
  if (auto servers = parse(mcp_servers_json)) {
    try {
      Json list = Json::array();
      for (const auto& s : array(*servers)) list.push_back(mcp_server(s));
      p["mcpServers"] = std::move(list);
    } catch (const Undecodable&) {
      // Not an array of server descriptions: ignored, as promised to the caller.
    }
  }
  return p;
}

Result<std::string, RpcError> read_new_session_result(const Json& result) {
  return decoding([&] {
    object(result);
    return req_str(result, "sessionId");
  });
}

Json load_session_params(const std::string& session_id, const std::string& cwd) {
  return {{"cwd", cwd}, {"mcpServers", Json::array()}, {"sessionId", session_id}};
}

Status<RpcError> check_optional_object_result(const Json& result) {
  if (result.is_object() || result.is_null()) return ok();
  return parse_error();
}

Json set_mode_params(const std::string& session_id, const std::string& mode_id) {
  return {{"modeId", mode_id}, {"sessionId", session_id}};
}

Json cancel_params(const std::string& session_id) { return {{"sessionId", session_id}}; }

// ---------------------------------------------------------------- prompts

Json prompt_params(const std::string& session_id, const std::string& text, const OptStr& content_json) {
  Json prompt;
  if (auto blocks = parse(content_json)) {
    try {
      OrderedJson typed = record_array(*blocks, content_block);
      prompt = Json::parse(typed.dump());
    } catch (const Undecodable&) {
    } catch (const nlohmann::json::exception&) {
    }
  }
  if (prompt.is_null()) prompt = Json::array({Json{{"text", text}, {"type", "text"}}});
  return {{"prompt", std::move(prompt)}, {"sessionId", session_id}};
}

Result<std::string, RpcError> read_prompt_result(const Json& result) {
  return decoding([&] {
    object(result);
    return stop_reason_name(req_str(result, "stopReason"));
  });
}

// ---------------------------------------------------------------- permission requests

Result<PermissionQuery, RpcError> read_permission_request(const Json& params) {
  return decoding([&] {
    object(params);
    PermissionQuery q;
    q.session_id = req_str(params, "sessionId");
    const Json& call = object(req(params, "toolCall"));
    tool_progress(call);  // validates the tool call update
    q.tool_use_id = req_str(call, "toolCallId");
    q.tool_name = opt_str(call, "title").value_or("");
    const Json* raw = opt(call, "rawInput");
    q.tool_input = raw ? rpc::dump(*raw) : "{}";
    for (const auto& o : array(req(params, "options"))) {
      object(o);
      req_str(o, "name");
      q.options.push_back(
          {req_str(o, "optionId"), one_of(req(o, "kind"), {"allow_once", "allow_always", "reject_once", "reject_always"})});
    }
    return q;
  });
}

Json permission_answer(const PermissionQuery& q, bool denied) {
  const PermissionOption* chosen = nullptr;
  if (!denied) {
    for (const auto& o : q.options) {
      if (o.kind == "allow_once" || o.kind == "allow_always") {
        chosen = &o;
        break;
      }
    }
    if (!chosen && !q.options.empty()) chosen = &q.options.front();
  }
  if (!chosen) return {{"outcome", {{"outcome", "cancelled"}}}};
  return {{"outcome", {{"optionId", chosen->option_id}, {"outcome", "selected"}}}};
}

}  // namespace palisk::acp
