// The control protocol's Python classes: the ControlMessage and ControlResponse records and
// NativeControlProtocol over the engine in core/control_core: argument conversion, the asyncio
// side of recv_message(), and the three callback objects Python registers (held for Python
// only; native code never calls them).
#include <mutex>

#include "areas.hpp"
#include "core/control_core.hpp"
#include "core/quote.hpp"
#include "py/bridge.hpp"
#include "py/records.hpp"

namespace palisk {

namespace {

using py::Deliver;
using py::Ref;

// ---------------------------------------------------------------- records

std::string id_subtype_repr(const char* cls, const py::StrValues& v) {
  return std::string(cls) + "(id=" + quote(*v[0]) + ", subtype=" + quote(*v[1]) + ")";
}

const py::StrRecordDef kControlMessage{
    "palisk_sdk._palisk_sdk.ControlMessage",
    "ControlMessage(request_id, subtype, data)\n--\n\nA control message sent between SDK and agent.",
    {{"request_id", "Unique request identifier for correlating requests and responses.", true},
     {"subtype", "Message subtype (e.g. \"can_use_tool\", \"hook_callback\", \"mcp_message\").", true},
     {"data", "JSON-serialized payload.", true}},
    [](const py::StrValues& v) { return id_subtype_repr("ControlMessage", v); },
};

const py::StrRecordDef kControlResponse{
    "palisk_sdk._palisk_sdk.ControlResponse",
    "ControlResponse(request_id, subtype, data)\n--\n\nA control response sent from SDK back to the agent.",
    {{"request_id", "Must match the ``request_id`` of the original request.", true},
     {"subtype", "Response subtype (mirrors the request subtype).", true},
     {"data", "JSON-serialized response payload.", true}},
    [](const py::StrValues& v) { return id_subtype_repr("ControlResponse", v); },
};

// ---------------------------------------------------------------- NativeControlProtocol

// One stored Python object. Replaced under the lock, released outside it: dropping the old
// object may run arbitrary Python code, which may call the setter again.
struct CallbackSlot {
  CallbackSlot() = default;
  CallbackSlot(CallbackSlot&& o) noexcept : obj(std::move(o.obj)) {}

  std::mutex m;
  py::Handle obj;

  void replace(PyObject* o) {
    py::Handle old = py::Handle::borrow(o);
    {
      std::lock_guard lk(m);
      std::swap(old, obj);
    }
  }
};

struct ControlObject {
  // Made on the first awaitable call, so that constructing the object starts no runtime.
  std::shared_ptr<control::Protocol> protocol;
  CallbackSlot permission, hook, mcp;

  const std::shared_ptr<control::Protocol>& core() {
    if (!protocol) protocol = control::make_protocol();
    return protocol;
  }
};

ControlObject& self_of(PyObject* self) { return py::unbox<ControlObject>(self); }

PyObject* protocol_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  if (!py::parse_tuple("NativeControlProtocol", args, kwargs, {}, 0, nullptr)) return nullptr;
  return py::box<ControlObject>(tp, ControlObject{});
}

int protocol_traverse(PyObject* self, visitproc visit, void* arg) {
  auto& o = self_of(self);
  for (CallbackSlot* s : {&o.permission, &o.hook, &o.mcp}) Py_VISIT(s->obj.get());
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int protocol_clear(PyObject* self) {
  auto& o = self_of(self);
  for (CallbackSlot* s : {&o.permission, &o.hook, &o.mcp}) s->replace(nullptr);
  return 0;
}

void protocol_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  protocol_clear(self);
  py::box_dealloc<ControlObject>(self);
}

PyObject* protocol_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[2];
  std::int64_t in, out;
  if (!py::parse_fast("start", args, nargs, kw, {"stdin_fd", "stdout_fd"}, 2, a) ||
      !py::arg_i64(a[0], "stdin_fd", in) || !py::arg_i64(a[1], "stdout_fd", out))
    return nullptr;
  // Without a running loop nothing may start, and the descriptors stay the caller's.
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  auto fds = control::adopt_descriptors(in, out);
  if (!fds) return py::raise(fds.error());
  auto [in_fd, out_fd] = std::move(fds).value();
  return py::start_on(std::move(loop),
                      [](auto p, control::UniqueFd in_fd, control::UniqueFd out_fd) -> rt::awaitable<Deliver> {
                        co_await control::start(std::move(p), std::move(in_fd), std::move(out_fd));
                        co_return py::deliver_none();
                      }(self_of(self).core(), std::move(in_fd), std::move(out_fd)));
}

PyObject* protocol_send_request(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[2];
  std::string subtype, data;
  if (!py::parse_fast("send_control_request", args, nargs, kw, {"subtype", "data"}, 2, a) ||
      !py::arg_str(a[0], "subtype", subtype) || !py::arg_str(a[1], "data", data))
    return nullptr;
  return py::start([](auto p, std::string subtype, std::string data) -> rt::awaitable<Deliver> {
    auto r = co_await control::send_control_request(std::move(p), std::move(subtype), std::move(data));
    if (!r) co_return py::deliver_error(std::move(r.error()));
    co_return py::deliver_str(std::move(r.value()));
  }(self_of(self).core(), std::move(subtype), std::move(data)));
}

PyObject* protocol_send_response(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[3];
  std::string request_id, subtype, data;
  if (!py::parse_fast("send_control_response", args, nargs, kw, {"request_id", "subtype", "data"}, 3, a) ||
      !py::arg_str(a[0], "request_id", request_id) || !py::arg_str(a[1], "subtype", subtype) ||
      !py::arg_str(a[2], "data", data))
    return nullptr;
  return py::start([](auto p, std::string id, std::string subtype, std::string data) -> rt::awaitable<Deliver> {
    auto r = co_await control::send_control_response(std::move(p), std::move(id), std::move(subtype), std::move(data));
    if (!r) co_return py::deliver_error(std::move(r.error()));
    co_return py::deliver_none();
  }(self_of(self).core(), std::move(request_id), std::move(subtype), std::move(data)));
}

PyObject* line_object(const std::optional<std::string>& line) { return line ? py::str(*line).release() : py::none(); }

// recv_message() that has to wait. Native work only waits until a line is there; the line is
// taken on the event loop's thread by the wait's done callback, and only if the caller's future
// is still pending. A caller that gave up (cancelled, timed out) therefore never costs a line.
struct PendingRecv {
  std::shared_ptr<control::Protocol> protocol;
  Ref loop;
  Ref result;  // the caller's future
  Ref wait;    // the native wait in progress
};

using ConversationRef = std::shared_ptr<control::Conversation>;
constexpr const char* kConversationCapsule = "palisk.conversation";
ConversationRef* conversation_of(PyObject* capsule) {
  return static_cast<ConversationRef*>(PyCapsule_GetPointer(capsule, kConversationCapsule));
}

PendingRecv* pending_of(PyObject* capsule) {
  return static_cast<PendingRecv*>(PyCapsule_GetPointer(capsule, "palisk.recv"));
}

bool is_true(Ref r) { return r && PyObject_IsTrue(r.get()) == 1; }
Ref call0(PyObject* o, const char* method) { return Ref::steal(PyObject_CallMethod(o, method, nullptr)); }
Ref call1(PyObject* o, const char* method, PyObject* arg) {
  return Ref::steal(PyObject_CallMethod(o, method, "O", arg));
}

PyObject* on_wait_done(PyObject* capsule, PyObject* wait);
PyObject* on_result_done(PyObject* capsule, PyObject* result);
PyMethodDef kOnWaitDone = {"_palisk_recv_wait_done", on_wait_done, METH_O, nullptr};
PyMethodDef kOnResultDone = {"_palisk_recv_result_done", on_result_done, METH_O, nullptr};

// Starts a native wait and lets its end come back to on_wait_done. False with an error set.
bool arm(PyObject* capsule) {
  PendingRecv* st = pending_of(capsule);
  if (!st) return false;
  // The wait resolves to the queue it waited on, wrapped in a capsule.
  Ref wait = Ref::steal(py::start_on(st->loop, [](auto p) -> rt::awaitable<Deliver> {
    auto conv = co_await control::wait_message(std::move(p));
    co_return [conv = std::move(conv)]() mutable -> PyObject* {
      return PyCapsule_New(new ConversationRef(std::move(conv)), kConversationCapsule,
                           [](PyObject* c) { delete conversation_of(c); });
    };
  }(st->protocol)));
  if (!wait) return false;
  Ref callback = Ref::steal(PyCFunction_NewEx(&kOnWaitDone, capsule, nullptr));
  if (!callback || !call1(wait.get(), "add_done_callback", callback.get())) return false;
  st->wait = std::move(wait);
  return true;
}

// On the loop's thread, once a line is there (or the queue has ended).
PyObject* on_wait_done(PyObject* capsule, PyObject* wait) {
  PendingRecv* st = pending_of(capsule);
  if (!st) return nullptr;
  PyObject* result = st->result.get();
  Ref done = call0(result, "done");
  if (!done) return nullptr;
  if (is_true(done)) return py::none();  // the caller gave up: the line stays queued
  Ref cancelled = call0(wait, "cancelled");
  if (!cancelled) return nullptr;
  if (is_true(cancelled)) return call0(result, "cancel").release();
  Ref exc = call0(wait, "exception");
  if (!exc) return nullptr;
  if (exc.get() != Py_None) return call1(result, "set_exception", exc.get()).release();
  Ref waited = call0(wait, "result");
  if (!waited) return nullptr;
  ConversationRef* conv = conversation_of(waited.get());
  if (!conv) return nullptr;
  // From the queue that was waited on: one that a later start() replaced gives None.
  if (auto line = control::take_message(conv->get())) {
    Ref value = Ref::steal(line_object(*line));
    if (!value) return nullptr;
    return call1(result, "set_result", value.get()).release();
  }
  // Another receiver was quicker: wait again.
  if (!arm(capsule)) {
    Ref error = py::fetch_exception();
    return call1(result, "set_exception", error.get()).release();
  }
  return py::none();
}

// A caller that gives up stops the native wait too.
PyObject* on_result_done(PyObject* capsule, PyObject* result) {
  PendingRecv* st = pending_of(capsule);
  if (!st) return nullptr;
  Ref cancelled = call0(result, "cancelled");
  if (!cancelled) return nullptr;
  if (is_true(cancelled) && st->wait) return call0(st->wait.get(), "cancel").release();
  return py::none();
}

PyObject* protocol_recv_message(PyObject* self, PyObject*) {
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  const auto& p = self_of(self).core();
  // A line already queued is handed over on this thread, without a trip through the runtime.
  if (auto line = control::try_recv_message(*p)) {
    return py::completed_future(loop.get(), [line = std::move(*line)] { return line_object(line); });
  }
  Ref result = call0(loop.get(), "create_future");
  if (!result) return nullptr;
  auto* st = new PendingRecv{p, loop, result, Ref()};
  // The callbacks own the state through the capsule; it goes when the last callback is dropped.
  Ref capsule = Ref::steal(PyCapsule_New(st, "palisk.recv", [](PyObject* c) { delete pending_of(c); }));
  if (!capsule) {
    delete st;
    return nullptr;
  }
  Ref callback = Ref::steal(PyCFunction_NewEx(&kOnResultDone, capsule.get(), nullptr));
  if (!callback || !call1(result.get(), "add_done_callback", callback.get()) || !arm(capsule.get())) return nullptr;
  return result.release();
}

PyObject* protocol_is_running(PyObject* self, PyObject*) {
  const auto& p = self_of(self).core();
  return py::start(
      [&]() -> std::optional<Deliver> {
        if (auto running = control::try_is_running(*p)) return py::deliver_bool(*running);
        return std::nullopt;
      },
      [&]() {
        return [](auto p) -> rt::awaitable<Deliver> {
          co_return py::deliver_bool(co_await control::is_running(std::move(p)));
        }(p);
      });
}

PyObject* protocol_stop(PyObject* self, PyObject*) {
  return py::start([](auto p) -> rt::awaitable<Deliver> {
    co_await control::stop(std::move(p));
    co_return py::deliver_none();
  }(self_of(self).core()));
}

PyObject* set_callback(const char* name, CallbackSlot ControlObject::*slot, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[1];
  if (!py::parse_fast(name, args, nargs, kw, {"callback"}, 1, a)) return nullptr;
  (self_of(self).*slot).replace(a[0]);
  return py::none();
}
PyObject* protocol_set_permission(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return set_callback("set_permission_callback", &ControlObject::permission, self, args, nargs, kw);
}
PyObject* protocol_set_hook(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return set_callback("set_hook_callback", &ControlObject::hook, self, args, nargs, kw);
}
PyObject* protocol_set_mcp(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  return set_callback("set_mcp_callback", &ControlObject::mcp, self, args, nargs, kw);
}


PyMethodDef kProtocolMethods[] = {
    {"start", PALISK_FASTCALL(protocol_start),
     "start($self, stdin_fd, stdout_fd)\n--\n\nStart the control protocol read/write loops.\n\n"
     "Takes ownership of the agent's stdin and stdout streams."},
    {"send_control_request", PALISK_FASTCALL(protocol_send_request),
     "send_control_request($self, subtype, data)\n--\n\nSend a control request from the SDK to the agent.\n\n"
     "Returns the JSON response data from the agent."},
    {"send_control_response", PALISK_FASTCALL(protocol_send_response),
     "send_control_response($self, request_id, subtype, data)\n--\n\n"
     "Send a control response from the SDK back to the agent."},
    {"recv_message", protocol_recv_message, METH_NOARGS,
     "recv_message($self)\n--\n\nReceive the next message from the conversation channel.\n\n"
     "Returns ``None`` if the channel is closed."},
    {"set_permission_callback", PALISK_FASTCALL(protocol_set_permission),
     "set_permission_callback($self, callback)\n--\n\nRegister the permission check callback."},
    {"set_hook_callback", PALISK_FASTCALL(protocol_set_hook),
     "set_hook_callback($self, callback)\n--\n\nRegister the hook dispatch callback."},
    {"set_mcp_callback", PALISK_FASTCALL(protocol_set_mcp),
     "set_mcp_callback($self, callback)\n--\n\nRegister the MCP tool request callback."},
    {"is_running", protocol_is_running, METH_NOARGS,
     "is_running($self)\n--\n\nWhether the protocol is currently running."},
    {"stop", protocol_stop, METH_NOARGS, "stop($self)\n--\n\nShut down the control protocol read/write loops."},
    {nullptr, nullptr, 0, nullptr},
};

#undef FAST

PyType_Slot kProtocolSlots[] = {
    {Py_tp_doc, const_cast<char*>("NativeControlProtocol()\n--\n\nBidirectional control protocol handler.\n\n"
                                  "Reads JSON messages from agent stdout in a background task, classifies\n"
                                  "them as control requests or conversation messages, and routes accordingly.\n"
                                  "Control requests are dispatched to registered Python callbacks.")},
    {Py_tp_new, reinterpret_cast<void*>(protocol_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(protocol_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(protocol_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(protocol_clear)},
    {Py_tp_methods, kProtocolMethods},
    {0, nullptr},
};

}  // namespace

int register_control(PyObject* module) {
  if (!py::register_str_record(module, kControlMessage)) return -1;
  if (!py::register_str_record(module, kControlResponse)) return -1;
  PyType_Spec spec = {"palisk_sdk._palisk_sdk.NativeControlProtocol", static_cast<int>(sizeof(py::Box<ControlObject>)),
                      0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, kProtocolSlots};
  if (!py::add_type(module, &spec)) return -1;
  return 0;
}

}  // namespace palisk
