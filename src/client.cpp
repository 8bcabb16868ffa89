// NativeClient: the Python face of the ACP client. Arguments are converted here, the work runs
// in the Python-free client core, and results come back as value objects. The permission gate
// calls the Python callback on the loop on which connect() was awaited.
#include <mutex>

#include "areas.hpp"
#include "core/client_core.hpp"
#include "py/bridge.hpp"
#include "py/records.hpp"

namespace palisk {

namespace {

using py::Deliver;
using py::Ref;

// The permission-callback slot and the loop its coroutines run on.
class PyGate final : public client::PermissionGate {
 public:
  void set_callback(PyObject* cb) {  // GIL
    py::Handle fresh = cb == Py_None ? py::Handle() : py::Handle::borrow(cb);
    py::Handle old;
    {
      std::lock_guard lk(m_);
      old = std::exchange(callback_, std::move(fresh));
    }
  }
  void set_loop(PyObject* loop) {  // GIL
    py::Handle fresh = py::Handle::borrow(loop);
    py::Handle old;
    {
      std::lock_guard lk(m_);
      old = std::exchange(loop_, std::move(fresh));
    }
  }
  int traverse(visitproc visit, void* arg) {  // GIL
    std::lock_guard lk(m_);
    Py_VISIT(callback_.get());
    return 0;
  }
  void clear() {  // GIL
    py::Handle old;
    std::lock_guard lk(m_);
    old = std::move(callback_);
  }

  // Fails closed: any failure on the way to the callback's answer denies.
  rt::awaitable<bool> denied(const acp::PermissionQuery& q) override {
    std::optional<py::OutcomeReceiver> rx;
    {
      py::Gil gil;
      if (!gil) co_return true;
      Ref cb, loop;
      {
        std::lock_guard lk(m_);
        cb = callback_.ref();
        loop = loop_.ref();
      }
      if (!cb) co_return false;  // no gate set
      rx = call(cb.get(), loop.get(), q);
      if (!rx) {
        PyErr_Clear();
        co_return true;
      }
    }
    py::PyOutcome out = co_await py::await_outcome(std::move(*rx));
    py::Gil gil;
    if (!gil || !out.ok()) co_return true;
    Ref reason = Ref::steal(PyObject_GetAttrString(out.value.get(), "reason"));
    if (!reason) {
      // No `reason` at all reads as "not denied"; a `reason` that fails to read denies.
      bool missing = PyErr_ExceptionMatches(PyExc_AttributeError);
      PyErr_Clear();
      co_return !missing;
    }
    co_return reason.get() != Py_None;
  }

 private:
  // Calls the callback and schedules its awaitable on the loop. nullopt on any failure.
  static std::optional<py::OutcomeReceiver> call(PyObject* cb, PyObject* loop, const acp::PermissionQuery& q) {
    Ref name = py::str(q.tool_name), input = py::str(q.tool_input), id = py::str(q.tool_use_id),
        session = py::str(q.session_id);
    Ref ctx = Ref::steal(PyDict_New());
    if (!name || !input || !id || !session || !ctx) return std::nullopt;
    if (PyDict_SetItemString(ctx.get(), "tool_name", name.get()) < 0 ||
        PyDict_SetItemString(ctx.get(), "tool_input", input.get()) < 0 ||
        PyDict_SetItemString(ctx.get(), "tool_use_id", id.get()) < 0 ||
        PyDict_SetItemString(ctx.get(), "session_id", session.get()) < 0)
      return std::nullopt;
    Ref result = Ref::steal(PyObject_CallFunctionObjArgs(cb, name.get(), input.get(), ctx.get(), nullptr));
    if (!result || !loop) return std::nullopt;
    if (!PyObject_HasAttrString(result.get(), "__await__")) return std::nullopt;
    return py::schedule_on_loop(loop, result.get());
  }

  std::mutex m_;
  py::Handle callback_;
  py::Handle loop_;
};

struct NativeClientData {
  std::shared_ptr<client::Client> core;
  std::shared_ptr<PyGate> gate;
};

PyTypeObject* g_type = nullptr;

NativeClientData& data(PyObject* self) { return py::unbox<NativeClientData>(self); }

template <class T, class Convert>
Deliver deliver(Result<T> r, Convert convert) {
  if (!r) return py::deliver_error(std::move(r.error()));
  return [v = std::move(r.value()), convert]() mutable -> PyObject* { return convert(std::move(v)); };
}

Deliver deliver_status(Status<> r) {
  if (!r) return py::deliver_error(std::move(r.error()));
  return py::deliver_none();
}

PyObject* str_of(std::string s) { return py::str(s).release(); }
PyObject* opt_str_of(OptStr s) { return py::opt_str(s).release(); }

// ---------------------------------------------------------------- methods

PyObject* client_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* a[1];
  if (!py::parse_tuple("NativeClient", args, kwargs, {"config"}, 1, a)) return nullptr;
  AgentConfig config;
  if (!py::read_client_config(a[0], config)) {
    return py::arg_type_error("config", a[0], "ClientConfig"), nullptr;
  }
  auto gate = std::make_shared<PyGate>();
  auto core = std::make_shared<client::Client>(std::move(config), gate);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (!self) return nullptr;
  new (&data(self)) NativeClientData{std::move(core), std::move(gate)};
  return self;
}

int client_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return data(self).gate->traverse(visit, arg);
}

int client_clear(PyObject* self) {
  data(self).gate->clear();
  return 0;
}

void client_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  data(self).~NativeClientData();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(self);
  Py_DECREF(tp);
}

PyObject* connect(PyObject* self, PyObject*) {
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  auto& d = data(self);
  d.gate->set_loop(loop.get());  // permission coroutines run where connect() was awaited
  return py::start_on(std::move(loop), [](std::shared_ptr<client::Client> c) -> rt::awaitable<Deliver> {
    co_return deliver(co_await client::connect(c), py::make_capabilities);
  }(d.core));
}

PyObject* disconnect(PyObject* self, PyObject*) {
  return py::start([](std::shared_ptr<client::Client> c) -> rt::awaitable<Deliver> {
    co_return deliver_status(co_await client::disconnect(c));
  }(data(self).core));
}

PyObject* capabilities_of(std::optional<CapabilitiesData> caps) {
  if (!caps) return py::none();
  return py::make_capabilities(std::move(*caps));
}

PyObject* capabilities(PyObject* self, PyObject*) {
  auto core = data(self).core;
  return py::start(
      [&]() -> std::optional<Deliver> {
        if (auto r = client::try_capabilities(*core)) return deliver(std::move(*r), capabilities_of);
        return std::nullopt;
      },
      [&]() {
        return [](std::shared_ptr<client::Client> c) -> rt::awaitable<Deliver> {
          co_return deliver(co_await client::capabilities(c), capabilities_of);
        }(core);
      });
}

PyObject* agent_info(PyObject* self, PyObject*) {
  return py::start([](std::shared_ptr<client::Client> c) -> rt::awaitable<Deliver> {
    co_return deliver(co_await client::agent_info(c), opt_str_of);
  }(data(self).core));
}

#define PARSE(name, required, ...)                                                                   \
  PyObject* a[std::initializer_list<const char*>{__VA_ARGS__}.size()];                              \
  if (!py::parse_fast(name, args, nargs, kw, {__VA_ARGS__}, required, a)) return nullptr

PyObject* new_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PARSE("new_session", 0, "cwd", "meta_json", "mcp_servers_json");
  OptStr cwd, meta, mcp;
  if (!py::arg_opt_str(a[0], "cwd", cwd) || !py::arg_opt_str(a[1], "meta_json", meta) ||
      !py::arg_opt_str(a[2], "mcp_servers_json", mcp))
    return nullptr;
  return py::start([](std::shared_ptr<client::Client> c, OptStr cwd, OptStr meta,
                      OptStr mcp) -> rt::awaitable<Deliver> {
    co_return deliver(co_await client::new_session(c, std::move(cwd), std::move(meta), std::move(mcp)), str_of);
  }(data(self).core, std::move(cwd), std::move(meta), std::move(mcp)));
}

// (session_id, cwd) operations resolving to a session id or JSON text.
template <rt::awaitable<Result<std::string>> (*Op)(std::shared_ptr<client::Client>, std::string, OptStr)>
PyObject* session_op(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PARSE(name, 2, "session_id", "cwd");
  std::string id;
  OptStr cwd;
  if (!py::arg_str(a[0], "session_id", id) || !py::arg_opt_str(a[1], "cwd", cwd)) return nullptr;
  return py::start([](std::shared_ptr<client::Client> c, std::string id, OptStr cwd) -> rt::awaitable<Deliver> {
    co_return deliver(co_await Op(c, std::move(id), std::move(cwd)), str_of);
  }(data(self).core, std::move(id), std::move(cwd)));
}

PyObject* load_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return session_op<client::load_session>("load_session", self, args, nargs, kw);
}
PyObject* fork_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return session_op<client::fork_session>("fork_session", self, args, nargs, kw);
}
PyObject* resume_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return session_op<client::resume_session>("resume_session", self, args, nargs, kw);
}

PyObject* list_sessions(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PARSE("list_sessions", 1, "cwd");
  OptStr cwd;
  if (!py::arg_opt_str(a[0], "cwd", cwd)) return nullptr;
  return py::start([](std::shared_ptr<client::Client> c, OptStr cwd) -> rt::awaitable<Deliver> {
    co_return deliver(co_await client::list_sessions(c, std::move(cwd)), str_of);
  }(data(self).core, std::move(cwd)));
}

PyObject* set_session_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PARSE("set_session_mode", 2, "session_id", "mode_id");
  std::string id, mode;
  if (!py::arg_str(a[0], "session_id", id) || !py::arg_str(a[1], "mode_id", mode)) return nullptr;
  return py::start([](std::shared_ptr<client::Client> c, std::string id, std::string mode) -> rt::awaitable<Deliver> {
    co_return deliver_status(co_await client::set_session_mode(c, std::move(id), std::move(mode)));
  }(data(self).core, std::move(id), std::move(mode)));
}

PyObject* set_config_option(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PARSE("set_config_option", 3, "session_id", "config_id", "value");
  std::string id, config_id, value;
  if (!py::arg_str(a[0], "session_id", id) || !py::arg_str(a[1], "config_id", config_id) ||
      !py::arg_str(a[2], "value", value))
    return nullptr;
  return py::start([](std::shared_ptr<client::Client> c, std::string id, std::string config_id,
                      std::string value) -> rt::awaitable<Deliver> {
    co_return deliver(co_await client::set_config_option(c, std::move(id), std::move(config_id), std::move(value)),
                      str_of);
  }(data(self).core, std::move(id), std::move(config_id), std::move(value)));
}

PyObject* cancel_session(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PARSE("cancel_session", 1, "session_id");
  std::string id;
  if (!py::arg_str(a[0], "session_id", id)) return nullptr;
  return py::start([](std::shared_ptr<client::Client> c, std::string id) -> rt::awaitable<Deliver> {
    co_return deliver_status(co_await client::cancel_session(c, std::move(id)));
  }(data(self).core, std::move(id)));
}

bool prompt_args(const char* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kw, std::string& text,
                 OptStr& session_id, OptStr& content_json) {
  PyObject* a[3];
  return py::parse_fast(name, args, nargs, kw, {"text", "session_id", "content_json"}, 1, a) &&
         py::arg_str(a[0], "text", text) && py::arg_opt_str(a[1], "session_id", session_id) &&
         py::arg_opt_str(a[2], "content_json", content_json);
}

PyObject* messages_of(std::vector<MessageData> messages) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (auto& m : messages) {
    Ref msg = Ref::steal(py::make_message(std::move(m)));
    if (!msg || PyList_Append(list.get(), msg.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* prompt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  std::string text;
  OptStr session_id, content_json;
  if (!prompt_args("prompt", args, nargs, kw, text, session_id, content_json)) return nullptr;
  return py::start([](std::shared_ptr<client::Client> c, std::string text, OptStr sid,
                      OptStr content) -> rt::awaitable<Deliver> {
    co_return deliver(co_await client::prompt(c, std::move(text), std::move(sid), std::move(content)), messages_of);
  }(data(self).core, std::move(text), std::move(session_id), std::move(content_json)));
}

PyObject* send_prompt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  std::string text;
  OptStr session_id, content_json;
  if (!prompt_args("send_prompt", args, nargs, kw, text, session_id, content_json)) return nullptr;
  return py::start([](std::shared_ptr<client::Client> c, std::string text, OptStr sid,
                      OptStr content) -> rt::awaitable<Deliver> {
    co_return deliver_status(co_await client::send_prompt(c, std::move(text), std::move(sid), std::move(content)));
  }(data(self).core, std::move(text), std::move(session_id), std::move(content_json)));
}

PyObject* update_of(std::optional<SessionUpdateData> u) {
  if (!u) return py::none();
  return py::make_session_update(std::move(*u));
}

// Already-queued updates are handed out on the calling thread: no thread hop per item. Otherwise
// the runtime waits until one is ready and the item is taken on the loop, for a caller that is
// still waiting.
Deliver take_and_convert(std::shared_ptr<client::Client> c, client::UpdateTicket ticket) {
  return [c = std::move(c), t = std::move(ticket)]() mutable -> PyObject* {
    auto r = client::take_update(*c, t);
    t.guard.release();
    if (!r) return py::raise(r.error());
    return update_of(std::move(r.value()));
  };
}

PyObject* recv_update(PyObject* self, PyObject*) {
  auto core = data(self).core;
  return py::start(
      [&]() -> std::optional<Deliver> {
        auto ticket = client::try_ready_update(*core);
        if (!ticket) return std::nullopt;
        if (!*ticket) return py::deliver_error(std::move(ticket->error()));
        return take_and_convert(core, std::move(ticket->value()));
      },
      [&]() {
        return [](std::shared_ptr<client::Client> c) -> rt::awaitable<Deliver> {
          auto ticket = co_await client::ready_update(c);
          if (!ticket) co_return py::deliver_error(std::move(ticket.error()));
          co_return take_and_convert(std::move(c), std::move(ticket.value()));
        }(core);
      });
}

PyObject* set_permission_callback(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PARSE("set_permission_callback", 1, "callback");
  data(self).gate->set_callback(a[0]);
  return py::none();
}


PyMethodDef methods[] = {
    {"connect", connect, METH_NOARGS,
     "connect($self)\n--\n\nSpawn the agent subprocess and perform the ACP initialize handshake.\n\n"
     "Returns the agent's advertised [`Capabilities`]."},
    {"disconnect", disconnect, METH_NOARGS,
     "disconnect($self)\n--\n\nDisconnect from the agent and terminate the subprocess."},
    {"capabilities", capabilities, METH_NOARGS,
     "capabilities($self)\n--\n\nReturn the capabilities received during the initialize handshake."},
    {"agent_info", agent_info, METH_NOARGS,
     "agent_info($self)\n--\n\nReturn agent info as a JSON string (name, version, title)."},
    {"new_session", PALISK_FASTCALL(new_session),
     "new_session($self, cwd=None, meta_json=None, mcp_servers_json=None)\n--\n\n"
     "Create a new ACP session and return its ID."},
    {"load_session", PALISK_FASTCALL(load_session), "load_session($self, session_id, cwd)\n--\n\nResume an existing session by ID."},
    {"fork_session", PALISK_FASTCALL(fork_session),
     "fork_session($self, session_id, cwd)\n--\n\nFork a session, creating a new session with shared history."},
    {"list_sessions", PALISK_FASTCALL(list_sessions), "list_sessions($self, cwd)\n--\n\nList available sessions. Returns JSON array."},
    {"resume_session", PALISK_FASTCALL(resume_session),
     "resume_session($self, session_id, cwd)\n--\n\nResume an existing agent-side session."},
    {"set_session_mode", PALISK_FASTCALL(set_session_mode),
     "set_session_mode($self, session_id, mode_id)\n--\n\n"
     "Set the agent mode for a session (e.g. \"ask\", \"code\", \"architect\")."},
    {"set_config_option", PALISK_FASTCALL(set_config_option),
     "set_config_option($self, session_id, config_id, value)\n--\n\n"
     "Set a config option on a session (replaces set_mode/set_model)."},
    {"cancel_session", PALISK_FASTCALL(cancel_session),
     "cancel_session($self, session_id)\n--\n\nCancel (interrupt) a running prompt in a session."},
    {"prompt", PALISK_FASTCALL(prompt),
     "prompt($self, text, session_id=None, content_json=None)\n--\n\n"
     "Send a prompt to the agent within the given (or default) session.\n\n"
     "Returns a list of [`Message`] objects. Streaming is handled at the\n"
     "Python layer by wrapping this in an async iterator."},
    {"send_prompt", PALISK_FASTCALL(send_prompt),
     "send_prompt($self, text, session_id=None, content_json=None)\n--\n\n"
     "Send a prompt without waiting for completion.\n\n"
     "Use with [`recv_update`] for real-time streaming. The prompt is sent\n"
     "to the background ACP task and streaming events can be polled via\n"
     "`recv_update()` until `None` is returned."},
    {"recv_update", recv_update, METH_NOARGS,
     "recv_update($self)\n--\n\nReceive the next streaming update from the agent.\n\n"
     "Returns a [`SessionUpdate`] for each chunk (text, thought, tool use,\n"
     "mode change, plan, config, commands, usage, session info),\n"
     "or `None` when the prompt is complete."},
    {"set_permission_callback", PALISK_FASTCALL(set_permission_callback),
     "set_permission_callback($self, callback)\n--\n\n"
     "Store a Python permission callback to be invoked for tool use requests.\n\n"
     "Must be called before `connect()`. The callback signature should be:\n"
     "`async def callback(tool_name: str, tool_input: str, context) -> PermissionResult`"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kDoc[] =
    "NativeClient(config)\n--\n\n"
    "The native ACP client exposed to Python.\n\n"
    "The Python `palisk_sdk.Client` class wraps this to provide a friendlier\n"
    "async API. It manages the agent subprocess lifecycle and delegates\n"
    "protocol messages through the JSON-RPC handler chain.";

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(client_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(client_clear)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {"palisk_sdk._palisk_sdk.NativeClient", static_cast<int>(sizeof(py::Box<NativeClientData>)), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, slots};

}  // namespace

int register_client(PyObject* module) {
  g_type = py::add_type(module, &spec);
  return g_type ? 0 : -1;
}

}  // namespace palisk
