// The value classes that cross the boundary (messages, content blocks, updates, results,
// permission and tool records, client configuration, capabilities) and their registration with
// the enumerations, plus the builders and readers the client and the tool registry use.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "areas.hpp"
#include "core/quote.hpp"
#include "py/enums.hpp"
#include "py/records.hpp"

namespace palisk {

namespace {

using py::Ref;

// Kept for the life of the process: the builders below allocate instances of them.
PyTypeObject* g_capabilities = nullptr;
PyTypeObject* g_content_block = nullptr;
PyTypeObject* g_message = nullptr;
PyTypeObject* g_session_update = nullptr;
PyTypeObject* g_client_config = nullptr;
PyTypeObject* g_tool_definition = nullptr;

std::size_t index_of(void* closure) { return reinterpret_cast<std::size_t>(closure); }
void* closure_of(std::size_t i) { return reinterpret_cast<void*>(i); }

PyObject* str_result(const std::string& s) { return py::str(s).release(); }
const char* bool_word(bool b) { return b ? "true" : "false"; }

// Without BASETYPE the class cannot be subclassed; without a dict offset instances take no new
// attributes; leaving out richcompare and hash keeps object's identity equality and hash.
PyTypeObject* add_class(PyObject* module, const char* qualified_name, int basicsize, PyType_Slot* slots) {
  PyType_Spec spec = {qualified_name, basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return py::add_type(module, &spec);
}

// ---------------------------------------------------------------- ContentBlock

using Block = ContentBlockData;
constexpr OptStr Block::* kBlockStrs[] = {&Block::text, &Block::tool_name, &Block::tool_input, &Block::tool_use_id};
constexpr const char* kBlockArgs[] = {"content_type", "text", "tool_name", "tool_input", "tool_use_id"};

PyObject* block_content_type(PyObject* self, void*) {
  return py::content_type_enum.make(static_cast<std::uint8_t>(py::unbox<Block>(self).content_type));
}
PyObject* block_str(PyObject* self, void* closure) {
  return py::opt_str(py::unbox<Block>(self).*kBlockStrs[index_of(closure)]).release();
}

PyObject* block_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* a[5];
  if (!py::parse_tuple("ContentBlock", args, kwargs, kBlockArgs, 5, 1, a)) return nullptr;
  Block b;
  std::uint8_t type;
  if (!py::content_type_enum.arg(a[0], "content_type", type)) return nullptr;
  b.content_type = static_cast<ContentType>(type);
  for (std::size_t i = 0; i < 4; ++i) {
    if (!py::arg_opt_str(a[i + 1], kBlockArgs[i + 1], b.*kBlockStrs[i])) return nullptr;
  }
  return py::box<Block>(tp, std::move(b));
}

PyObject* block_repr(PyObject* self) {
  auto type = static_cast<std::uint8_t>(py::unbox<Block>(self).content_type);
  return str_result(std::string("ContentBlock(type=") + py::content_type_enum.member_name(type) + ")");
}

PyGetSetDef kBlockGetset[] = {
    {"content_type", block_content_type, nullptr, nullptr, nullptr},
    {"text", block_str, nullptr, nullptr, closure_of(0)},
    {"tool_name", block_str, nullptr, nullptr, closure_of(1)},
    {"tool_input", block_str, nullptr, nullptr, closure_of(2)},
    {"tool_use_id", block_str, nullptr, nullptr, closure_of(3)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kBlockSlots[] = {
    {Py_tp_doc, const_cast<char*>("ContentBlock(content_type, text=None, tool_name=None, tool_input=None, "
                                  "tool_use_id=None)\n--\n\nA single content block inside a [`Message`].")},
    {Py_tp_new, reinterpret_cast<void*>(block_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::box_dealloc<Block>)},
    {Py_tp_repr, reinterpret_cast<void*>(block_repr)},
    {Py_tp_getset, kBlockGetset},
    {0, nullptr},
};

// ---------------------------------------------------------------- Message

std::string message_text(const MessageData& m) {
  std::string out;
  for (const auto& b : m.content) {
    if (b.content_type == ContentType::Text && b.text) out += *b.text;
  }
  return out;
}

PyObject* message_role(PyObject* self, void*) {
  return py::message_role_enum.make(static_cast<std::uint8_t>(py::unbox<MessageData>(self).role));
}

PyObject* message_content(PyObject* self, void*) {
  const auto& content = py::unbox<MessageData>(self).content;
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(content.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < content.size(); ++i) {
    PyObject* block = py::box<Block>(g_content_block, content[i]);
    if (!block) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), block);
  }
  return list.release();
}

PyObject* message_session_id(PyObject* self, void*) {
  return py::opt_str(py::unbox<MessageData>(self).session_id).release();
}
PyObject* message_stop_reason(PyObject* self, void*) {
  return py::opt_str(py::unbox<MessageData>(self).stop_reason).release();
}

// Any sequence of ContentBlock except a str, copied in order.
bool arg_blocks(PyObject* o, std::vector<Block>& out) {
  constexpr const char* name = "content";
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a str cannot be taken as a list", name);
    return false;
  }
  if (!PySequence_Check(o)) return py::arg_type_error(name, o, "list");
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return false;
  std::vector<Block> blocks;
  blocks.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(o, i));
    if (!item) return false;
    if (!py::is_instance(item.get(), g_content_block)) return py::arg_type_error(name, item.get(), "ContentBlock");
    blocks.push_back(py::unbox<Block>(item.get()));
  }
  out = std::move(blocks);
  return true;
}

PyObject* message_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* a[4];
  if (!py::parse_tuple("Message", args, kwargs, {"role", "content", "session_id", "stop_reason"}, 2, a))
    return nullptr;
  MessageData m;
  std::uint8_t role;
  if (!py::message_role_enum.arg(a[0], "role", role) || !arg_blocks(a[1], m.content) ||
      !py::arg_opt_str(a[2], "session_id", m.session_id) || !py::arg_opt_str(a[3], "stop_reason", m.stop_reason))
    return nullptr;
  m.role = static_cast<MessageRole>(role);
  return py::box<MessageData>(tp, std::move(m));
}

PyObject* message_text_method(PyObject* self, PyObject*) {
  return str_result(message_text(py::unbox<MessageData>(self)));
}

PyObject* message_repr(PyObject* self) {
  const auto& m = py::unbox<MessageData>(self);
  std::string text = message_text(m);
  const char* role = py::message_role_enum.member_name(static_cast<std::uint8_t>(m.role));
  return str_result(std::string("Message(role=") + role + ", text=" + quote(utf8_prefix(text, 60)) + "...)");
}

PyGetSetDef kMessageGetset[] = {
    {"role", message_role, nullptr, nullptr, nullptr},
    {"content", message_content, nullptr, nullptr, nullptr},
    {"session_id", message_session_id, nullptr, nullptr, nullptr},
    {"stop_reason", message_stop_reason, nullptr,
     "Why the prompt turn ended (e.g. \"EndTurn\", \"Cancelled\").", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMessageMethods[] = {
    {"text", message_text_method, METH_NOARGS,
     "text($self)\n--\n\nConvenience: return concatenated text of all `Text` content blocks."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kMessageSlots[] = {
    {Py_tp_doc, const_cast<char*>("Message(role, content, session_id=None, stop_reason=None)\n--\n\n"
                                  "A message exchanged between client and agent.")},
    {Py_tp_new, reinterpret_cast<void*>(message_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::box_dealloc<MessageData>)},
    {Py_tp_repr, reinterpret_cast<void*>(message_repr)},
    {Py_tp_getset, kMessageGetset},
    {Py_tp_methods, kMessageMethods},
    {0, nullptr},
};

// ---------------------------------------------------------------- SessionUpdate

using Update = SessionUpdateData;
// The optional string fields, in signature order after `kind`.
constexpr OptStr Update::* kUpdateStrs[] = {
    &Update::text,         &Update::tool_name,      &Update::tool_input,     &Update::tool_use_id,
    &Update::error,        &Update::stop_reason,    &Update::tool_kind,      &Update::tool_status,
    &Update::tool_content, &Update::tool_locations, &Update::mode_id,        &Update::plan_json,
    &Update::config_json,  &Update::commands_json,  &Update::usage_json,     &Update::session_info_json,
    &Update::rate_limit_json};
constexpr std::size_t kUpdateStrCount = sizeof kUpdateStrs / sizeof kUpdateStrs[0];
constexpr const char* kUpdateArgs[] = {
    "kind",           "text",        "tool_name",    "tool_input",    "tool_use_id",   "error",
    "stop_reason",    "tool_kind",   "tool_status",  "tool_content",  "tool_locations", "mode_id",
    "plan_json",      "config_json", "commands_json", "usage_json",   "session_info_json", "rate_limit_json"};
static_assert(sizeof kUpdateArgs / sizeof kUpdateArgs[0] == kUpdateStrCount + 1);
constexpr const char* kUpdateDocs[kUpdateStrCount] = {
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "Why the prompt turn ended (end_turn, max_tokens, cancelled, etc.).",
    "Tool kind (read, edit, execute, etc.).",
    "Tool status (pending, in_progress, completed, failed).",
    "Tool output content as JSON string.",
    "Tool file locations as JSON string.",
    "Current mode ID.",
    "Plan entries as JSON string.",
    "Config options as JSON string.",
    "Available commands as JSON string.",
    "Token usage data as JSON string.",
    "Session info as JSON string.",
    "Rate limit event data as JSON string.",
};

PyObject* update_kind(PyObject* self, void*) {
  return py::update_kind_enum.make(static_cast<std::uint8_t>(py::unbox<Update>(self).kind));
}
PyObject* update_str(PyObject* self, void* closure) {
  return py::opt_str(py::unbox<Update>(self).*kUpdateStrs[index_of(closure)]).release();
}

PyObject* update_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* a[kUpdateStrCount + 1];
  if (!py::parse_tuple("SessionUpdate", args, kwargs, kUpdateArgs, kUpdateStrCount + 1, 1, a)) return nullptr;
  Update u;
  std::uint8_t kind;
  if (!py::update_kind_enum.arg(a[0], "kind", kind)) return nullptr;
  u.kind = static_cast<UpdateKind>(kind);
  for (std::size_t i = 0; i < kUpdateStrCount; ++i) {
    if (!py::arg_opt_str(a[i + 1], kUpdateArgs[i + 1], u.*kUpdateStrs[i])) return nullptr;
  }
  return py::box<Update>(tp, std::move(u));
}

PyObject* update_repr(PyObject* self) {
  auto kind = static_cast<std::uint8_t>(py::unbox<Update>(self).kind);
  return str_result(std::string("SessionUpdate(kind=") + py::update_kind_enum.member_name(kind) + ")");
}

PyGetSetDef* update_getset() {
  static PyGetSetDef defs[kUpdateStrCount + 2] = {};
  defs[0] = {"kind", update_kind, nullptr, nullptr, nullptr};
  for (std::size_t i = 0; i < kUpdateStrCount; ++i) {
    defs[i + 1] = {kUpdateArgs[i + 1], update_str, nullptr, kUpdateDocs[i], closure_of(i)};
  }
  return defs;
}

// ---------------------------------------------------------------- ClientConfig

PyObject* config_command(PyObject* self, void*) { return py::str_list(py::unbox<AgentConfig>(self).command).release(); }
PyObject* config_cwd(PyObject* self, void*) { return py::opt_str(py::unbox<AgentConfig>(self).cwd).release(); }
PyObject* config_timeout(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(py::unbox<AgentConfig>(self).timeout_secs);
}
PyObject* config_env(PyObject* self, void*) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [k, v] : py::unbox<AgentConfig>(self).env) {
    Ref key = py::str(k), value = py::str(v);
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

bool no_delete(PyObject* value) {
  if (value) return false;
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return true;
}

int set_command(PyObject* self, PyObject* value, void*) {
  if (no_delete(value)) return -1;
  return py::arg_str_list(value, "command", py::unbox<AgentConfig>(self).command) ? 0 : -1;
}
int set_cwd(PyObject* self, PyObject* value, void*) {
  if (no_delete(value)) return -1;
  return py::arg_opt_str(value, "cwd", py::unbox<AgentConfig>(self).cwd) ? 0 : -1;
}
int set_env(PyObject* self, PyObject* value, void*) {
  if (no_delete(value)) return -1;
  return py::arg_str_dict(value, "env", py::unbox<AgentConfig>(self).env) ? 0 : -1;
}
int set_timeout(PyObject* self, PyObject* value, void*) {
  if (no_delete(value)) return -1;
  return py::arg_u64(value, "timeout_secs", py::unbox<AgentConfig>(self).timeout_secs) ? 0 : -1;
}

PyObject* config_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* a[4];
  if (!py::parse_tuple("ClientConfig", args, kwargs, {"command", "cwd", "env", "timeout_secs"}, 1, a))
    return nullptr;
  AgentConfig c;
  if (!py::arg_str_list(a[0], "command", c.command) || !py::arg_opt_str(a[1], "cwd", c.cwd)) return nullptr;
  // Only leaving `env` out gives the empty map; None is a type error like any other non-dict.
  if (a[2] && !py::arg_str_dict(a[2], "env", c.env)) return nullptr;
  if (a[3] && !py::arg_u64(a[3], "timeout_secs", c.timeout_secs)) return nullptr;
  return py::box<AgentConfig>(tp, std::move(c));
}

PyObject* config_repr(PyObject* self) {
  return str_result("ClientConfig(command=" + quote_list(py::unbox<AgentConfig>(self).command) + ")");
}

PyGetSetDef kConfigGetset[] = {
    {"command", config_command, set_command,
     "Shell command to spawn the agent (e.g. `[\"palisk-agent\", \"--acp\"]`).", nullptr},
    {"cwd", config_cwd, set_cwd, "Working directory for the spawned agent process.", nullptr},
    {"env", config_env, set_env, "Additional environment variables passed to the agent.", nullptr},
    {"timeout_secs", config_timeout, set_timeout, "Connection timeout in seconds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kConfigSlots[] = {
    {Py_tp_doc, const_cast<char*>("ClientConfig(command, cwd=None, env=..., timeout_secs=30)\n--\n\n"
                                  "Configuration for a palisk [`Client`] connection.")},
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::box_dealloc<AgentConfig>)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_getset, kConfigGetset},
    {0, nullptr},
};

// ---------------------------------------------------------------- Capabilities

using Caps = CapabilitiesData;
constexpr bool Caps::* kCapsBools[] = {&Caps::sessions, &Caps::tools, &Caps::proxy};
constexpr std::vector<std::string> Caps::* kCapsLists[] = {&Caps::modes, &Caps::models};

PyObject* caps_bool(PyObject* self, void* closure) {
  return py::boolean(py::unbox<Caps>(self).*kCapsBools[index_of(closure)]).release();
}
PyObject* caps_list(PyObject* self, void* closure) {
  return py::str_list(py::unbox<Caps>(self).*kCapsLists[index_of(closure)]).release();
}

PyObject* caps_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  constexpr const char* names[] = {"sessions", "tools", "proxy", "modes", "models"};
  PyObject* a[5];
  if (!py::parse_tuple("Capabilities", args, kwargs, names, 5, 0, a)) return nullptr;
  Caps c;
  for (std::size_t i = 0; i < 3; ++i) {
    if (a[i] && !py::arg_bool(a[i], names[i], c.*kCapsBools[i])) return nullptr;
  }
  for (std::size_t i = 0; i < 2; ++i) {
    if (a[i + 3] && !py::arg_str_list(a[i + 3], names[i + 3], c.*kCapsLists[i])) return nullptr;
  }
  return py::box<Caps>(tp, std::move(c));
}

PyObject* caps_repr(PyObject* self) {
  const auto& c = py::unbox<Caps>(self);
  return str_result(std::string("Capabilities(sessions=") + bool_word(c.sessions) + ", tools=" + bool_word(c.tools) +
                    ", proxy=" + bool_word(c.proxy) + ", modes=" + quote_list(c.modes) +
                    ", models=" + quote_list(c.models) + ")");
}

PyGetSetDef kCapsGetset[] = {
    {"sessions", caps_bool, nullptr, "Whether the agent supports session management.", closure_of(0)},
    {"tools", caps_bool, nullptr, "Whether the agent supports tool registration via MCP.", closure_of(1)},
    {"proxy", caps_bool, nullptr, "Whether the agent supports proxy chains.", closure_of(2)},
    {"modes", caps_list, nullptr, "Supported agent modes (e.g. \"ask\", \"code\", \"architect\").", closure_of(0)},
    {"models", caps_list, nullptr, "Supported model identifiers.", closure_of(1)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kCapsSlots[] = {
    {Py_tp_doc, const_cast<char*>("Capabilities(sessions=False, tools=False, proxy=False, modes=..., models=...)"
                                  "\n--\n\nAgent capabilities advertised during the `initialize` handshake.")},
    {Py_tp_new, reinterpret_cast<void*>(caps_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::box_dealloc<Caps>)},
    {Py_tp_repr, reinterpret_cast<void*>(caps_repr)},
    {Py_tp_getset, kCapsGetset},
    {0, nullptr},
};

// ---------------------------------------------------------------- ResultMessage

struct ResultRecord {
  std::string subtype;
  std::uint64_t duration_ms = 0;
  bool is_error = false;
  std::uint32_t num_turns = 0;
  std::string session_id;
  std::optional<double> total_cost_usd;
  OptStr result;
};

PyObject* result_subtype(PyObject* self, void*) { return str_result(py::unbox<ResultRecord>(self).subtype); }
PyObject* result_duration(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(py::unbox<ResultRecord>(self).duration_ms);
}
PyObject* result_is_error(PyObject* self, void*) {
  return py::boolean(py::unbox<ResultRecord>(self).is_error).release();
}
PyObject* result_turns(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(py::unbox<ResultRecord>(self).num_turns);
}
PyObject* result_session(PyObject* self, void*) { return str_result(py::unbox<ResultRecord>(self).session_id); }
PyObject* result_cost(PyObject* self, void*) {
  const auto& cost = py::unbox<ResultRecord>(self).total_cost_usd;
  return cost ? PyFloat_FromDouble(*cost) : py::none();
}
PyObject* result_result(PyObject* self, void*) { return py::opt_str(py::unbox<ResultRecord>(self).result).release(); }

PyObject* result_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* a[7];
  if (!py::parse_tuple("ResultMessage", args, kwargs,
                       {"subtype", "duration_ms", "is_error", "num_turns", "session_id", "total_cost_usd", "result"},
                       5, a))
    return nullptr;
  ResultRecord r;
  if (!py::arg_str(a[0], "subtype", r.subtype) || !py::arg_u64(a[1], "duration_ms", r.duration_ms) ||
      !py::arg_bool(a[2], "is_error", r.is_error) || !py::arg_u32(a[3], "num_turns", r.num_turns) ||
      !py::arg_str(a[4], "session_id", r.session_id) || !py::arg_opt_str(a[6], "result", r.result))
    return nullptr;
  if (a[5] && a[5] != Py_None) {
    double cost;
    if (!py::arg_f64(a[5], "total_cost_usd", cost)) return nullptr;
    r.total_cost_usd = cost;
  }
  return py::box<ResultRecord>(tp, std::move(r));
}

PyObject* result_repr(PyObject* self) {
  const auto& r = py::unbox<ResultRecord>(self);
  return str_result("ResultMessage(subtype=" + quote(r.subtype) + ", turns=" + std::to_string(r.num_turns) +
                    ", error=" + bool_word(r.is_error) + ")");
}

PyGetSetDef kResultGetset[] = {
    {"subtype", result_subtype, nullptr, "Result subtype (e.g. \"result\").", nullptr},
    {"duration_ms", result_duration, nullptr, "Total duration of the query in milliseconds.", nullptr},
    {"is_error", result_is_error, nullptr, "Whether the result represents an error.", nullptr},
    {"num_turns", result_turns, nullptr, "Number of conversation turns consumed.", nullptr},
    {"session_id", result_session, nullptr, "Session identifier.", nullptr},
    {"total_cost_usd", result_cost, nullptr, "Total cost in USD (if available).", nullptr},
    {"result", result_result, nullptr, "The final result text (if available).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kResultSlots[] = {
    {Py_tp_doc, const_cast<char*>("ResultMessage(subtype, duration_ms, is_error, num_turns, session_id, "
                                  "total_cost_usd=None, result=None)\n--\n\n"
                                  "Final result message sent by the agent when a query completes.")},
    {Py_tp_new, reinterpret_cast<void*>(result_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::box_dealloc<ResultRecord>)},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_getset, kResultGetset},
    {0, nullptr},
};

// ---------------------------------------------------------------- all-string records

const py::StrRecordDef kToolDefinition{
    "palisk_sdk._palisk_sdk.ToolDefinition",
    "ToolDefinition(name, description, input_schema)\n--\n\nSchema definition for a tool exposed to the agent.",
    {{"name", nullptr, true},
     {"description", nullptr, true},
     {"input_schema", "JSON Schema string for the tool's input parameters.", true}},
    [](const py::StrValues& v) { return "ToolDefinition(name=" + quote(*v[0]) + ")"; },
};

const py::StrRecordDef kPermissionRequest{
    "palisk_sdk._palisk_sdk.PermissionRequest",
    "PermissionRequest(tool_name, tool_input, tool_use_id=None, session_id=None)\n--\n\n"
    "A permission check request sent from agent to SDK via the control protocol.",
    {{"tool_name", "The name of the tool the agent wants to use.", true},
     {"tool_input", "JSON-serialized tool input parameters.", true},
     {"tool_use_id", "Unique identifier for this tool use invocation.", false},
     {"session_id", "Session in which the tool use occurs.", false}},
    [](const py::StrValues& v) { return "PermissionRequest(tool=" + quote(*v[0]) + ")"; },
};

const py::StrRecordDef kPermissionResponse{
    "palisk_sdk._palisk_sdk.PermissionResponse",
    "PermissionResponse(decision, reason=None)\n--\n\nThe SDK's response to a permission check.",
    {{"decision", "\"allow\" or \"deny\".", true}, {"reason", "Reason for denial (if denied).", false}},
    [](const py::StrValues& v) { return "PermissionResponse(decision=" + quote(*v[0]) + ")"; },
};

const py::StrRecordDef kStreamEvent{
    "palisk_sdk._palisk_sdk.StreamEvent",
    "StreamEvent(uuid, session_id, event)\n--\n\nA streaming event received from the agent during a query.",
    {{"uuid", "Unique identifier for this event.", true},
     {"session_id", "Session in which the event occurred.", true},
     {"event", "JSON-serialized event payload.", true}},
    [](const py::StrValues& v) { return "StreamEvent(uuid=" + quote(*v[0]) + ", session=" + quote(*v[1]) + ")"; },
};

}  // namespace

namespace py {

PyObject* make_session_update(SessionUpdateData data) { return box<Update>(g_session_update, std::move(data)); }
PyObject* make_message(MessageData data) { return box<MessageData>(g_message, std::move(data)); }
PyObject* make_capabilities(CapabilitiesData data) { return box<Caps>(g_capabilities, std::move(data)); }

bool read_client_config(PyObject* o, AgentConfig& out) {
  if (!g_client_config || !is_instance(o, g_client_config)) return false;
  out = unbox<AgentConfig>(o);
  return true;
}

PyTypeObject* client_config_type() { return g_client_config; }

bool read_tool_definition(PyObject* o, ToolDefinitionData& out) {
  if (!g_tool_definition || !is_instance(o, g_tool_definition)) return false;
  const StrValues& v = str_record_values(o);
  out = ToolDefinitionData{*v[0], *v[1], *v[2]};
  return true;
}

}  // namespace py

int register_types(PyObject* module) {
  PyType_Slot update_slots[] = {
      {Py_tp_doc,
       const_cast<char*>("SessionUpdate(kind, text=None, tool_name=None, tool_input=None, tool_use_id=None, "
                         "error=None, stop_reason=None, tool_kind=None, tool_status=None, tool_content=None, "
                         "tool_locations=None, mode_id=None, plan_json=None, config_json=None, "
                         "commands_json=None, usage_json=None, session_info_json=None, rate_limit_json=None)"
                         "\n--\n\nA real-time streaming update from the agent during a session.")},
      {Py_tp_new, reinterpret_cast<void*>(update_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(py::box_dealloc<Update>)},
      {Py_tp_repr, reinterpret_cast<void*>(update_repr)},
      {Py_tp_getset, update_getset()},
      {0, nullptr},
  };
  if (!(g_capabilities = add_class(module, "palisk_sdk._palisk_sdk.Capabilities", sizeof(py::Box<Caps>), kCapsSlots)))
    return -1;
  if (py::message_role_enum.register_in(module) < 0) return -1;
  if (py::content_type_enum.register_in(module) < 0) return -1;
  if (!(g_content_block =
            add_class(module, "palisk_sdk._palisk_sdk.ContentBlock", sizeof(py::Box<Block>), kBlockSlots)))
    return -1;
  if (!(g_message = add_class(module, "palisk_sdk._palisk_sdk.Message", sizeof(py::Box<MessageData>), kMessageSlots)))
    return -1;
  if (py::update_kind_enum.register_in(module) < 0) return -1;
  if (!(g_session_update =
            add_class(module, "palisk_sdk._palisk_sdk.SessionUpdate", sizeof(py::Box<Update>), update_slots)))
    return -1;
  if (!(g_client_config =
            add_class(module, "palisk_sdk._palisk_sdk.ClientConfig", sizeof(py::Box<AgentConfig>), kConfigSlots)))
    return -1;
  if (!(g_tool_definition = py::register_str_record(module, kToolDefinition))) return -1;
  if (!py::register_str_record(module, kPermissionRequest)) return -1;
  if (!py::register_str_record(module, kPermissionResponse)) return -1;
  if (!add_class(module, "palisk_sdk._palisk_sdk.ResultMessage", sizeof(py::Box<ResultRecord>), kResultSlots))
    return -1;
  if (!py::register_str_record(module, kStreamEvent)) return -1;
  return 0;
}

}  // namespace palisk
