// HookType and NativeHookDispatcher: Python hook callbacks kept in one priority-ordered list
// behind an async mutex, and the dispatch that threads a JSON context through the hooks of one
// type. A failing hook is skipped; nothing a hook does makes the dispatch fail.
#include <algorithm>
#include <memory>
#include <vector>

#include "areas.hpp"
#include "core/records.hpp"
#include "py/bridge.hpp"
#include "py/enums.hpp"
#include "py/state.hpp"

namespace palisk {

namespace {

using py::Deliver;
using py::Handle;
using py::Ref;

struct RegisteredHook {
  Handle callback;
  std::int32_t priority = 0;
  HookType hook_type = HookType::PreToolUse;
};

// Always sorted by priority, ties in registration order.
using Hooks = std::vector<RegisteredHook>;
using HookPtr = py::SharedState<Hooks>;

HookPtr hooks_of(PyObject* self) { return py::state_of<Hooks>(self); }

// ---------------------------------------------------------------- the Python object

PyObject* dispatcher_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  if (!py::parse_tuple("NativeHookDispatcher", args, kwargs, {}, 0, nullptr)) return nullptr;
  return py::box(tp, HookPtr());
}

int dispatcher_traverse(PyObject* self, visitproc visit, void* arg) {
  return py::traverse_state<Hooks>(self, visit, arg, [](const RegisteredHook& h) { return h.callback.get(); });
}

// ---------------------------------------------------------------- dispatch

// Calls json.<fn>(arg). GIL; nullptr with the error set on failure.
Ref json_call(const char* fn, PyObject* arg) {
  Ref json = Ref::steal(PyImport_ImportModule("json"));
  if (!json) return {};
  Ref f = Ref::steal(PyObject_GetAttrString(json.get(), fn));
  if (!f) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(f.get(), arg, nullptr));
}

// A hook's result replaces the context unless it is None. False (error set) when the result
// cannot be written as JSON. GIL.
bool take_result(PyObject* result, std::string& context) {
  if (result == Py_None) return true;
  Ref text = json_call("dumps", result);
  if (!text) return false;
  auto s = py::utf8(text.get());
  if (!s) return false;
  context = std::move(*s);
  return true;
}

enum class Step { Done, Skip, Await };

// Steps of one hook up to its awaitable, if it returned one. GIL.
Step call_hook(PyObject* loop, PyObject* callback, std::string& context, std::optional<py::OutcomeReceiver>& rx) {
  Ref ctx = py::str(context);
  if (!ctx) return Step::Skip;
  Ref arg = json_call("loads", ctx.get());
  if (!arg) return Step::Skip;
  Ref result = Ref::steal(PyObject_CallFunctionObjArgs(callback, arg.get(), nullptr));
  if (!result) return Step::Skip;
  Ref await = Ref::steal(PyObject_GetAttrString(result.get(), "__await__"));
  if (!await) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Step::Skip;
    PyErr_Clear();
    return take_result(result.get(), context) ? Step::Done : Step::Skip;
  }
  rx = py::schedule_on_loop(loop, result.get());
  return rx ? Step::Await : Step::Skip;
}

rt::awaitable<Deliver> run_dispatch(HookPtr state, Handle loop, HookType type, std::string context) {
  // Held across every hook, awaits included: a dispatch sees one list from start to end.
  auto guard = co_await state->mutex.lock();
  for (const RegisteredHook& hook : state->value) {
    if (hook.hook_type != type) continue;
    std::optional<py::OutcomeReceiver> rx;
    {
      py::Gil gil;
      if (!gil) co_return py::deliver_none();  // the interpreter is exiting; nobody will read this
      Step step = call_hook(loop.get(), hook.callback.get(), context, rx);
      if (step == Step::Skip) PyErr_Clear();
      if (step != Step::Await) continue;
    }
    py::PyOutcome out = co_await py::await_outcome(std::move(*rx));
    py::Gil gil;
    if (!gil) co_return py::deliver_none();
    if (out.ok() && out.value && !take_result(out.value.get(), context)) PyErr_Clear();
    out = {};  // release the hook's value or exception while the GIL is held
  }
  guard.release();
  co_return py::deliver_str(std::move(context));
}

// ---------------------------------------------------------------- methods

bool arg_hook_type(PyObject* o, HookType& out) {
  std::uint8_t v;
  if (!py::hook_type_enum.arg(o, "hook_type", v)) return false;
  out = static_cast<HookType>(v);
  return true;
}

PyObject* dispatcher_register(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  HookType type;
  std::int32_t priority = 0;
  if (!py::parse_fast("register", args, nargs, kwnames, {"hook_type", "callback", "priority"}, 2, a) ||
      !arg_hook_type(a[0], type) || (a[2] && !py::arg_i32(a[2], "priority", priority)))
    return nullptr;
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  return py::start_on(std::move(loop), [](HookPtr state, RegisteredHook hook) -> rt::awaitable<Deliver> {
    auto guard = co_await state->mutex.lock();
    auto& hooks = state->value;
    hooks.push_back(std::move(hook));
    std::stable_sort(hooks.begin(), hooks.end(),
                     [](const RegisteredHook& x, const RegisteredHook& y) { return x.priority < y.priority; });
    co_return py::deliver_none();
  }(hooks_of(self), RegisteredHook{Handle::borrow(a[1]), priority, type}));
}

PyObject* dispatcher_clear_type(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  HookType type;
  if (!py::parse_fast("clear", args, nargs, kwnames, {"hook_type"}, 1, a) || !arg_hook_type(a[0], type))
    return nullptr;
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  return py::start_on(std::move(loop), [](HookPtr state, HookType type) -> rt::awaitable<Deliver> {
    auto guard = co_await state->mutex.lock();
    std::erase_if(state->value, [type](const RegisteredHook& h) { return h.hook_type == type; });
    co_return py::deliver_none();
  }(hooks_of(self), type));
}

PyObject* dispatcher_dispatch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  HookType type;
  std::string context;
  if (!py::parse_fast("dispatch", args, nargs, kwnames, {"hook_type", "context_json"}, 2, a) ||
      !arg_hook_type(a[0], type) || !py::arg_str(a[1], "context_json", context))
    return nullptr;
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  Handle hook_loop = Handle::borrow(loop.get());
  return py::start_on(std::move(loop), run_dispatch(hooks_of(self), std::move(hook_loop), type, std::move(context)));
}


PyMethodDef dispatcher_methods[] = {
    {"register", PALISK_FASTCALL(dispatcher_register),
     "register($self, hook_type, callback, priority=0)\n--\n\nRegister a hook callback for the given hook type."},
    {"dispatch", PALISK_FASTCALL(dispatcher_dispatch),
     "dispatch($self, hook_type, context_json)\n--\n\nDispatch all hooks of the given type with the provided "
     "context.\n\nReturns the (possibly modified) context dict after all hooks run.\nHooks are invoked in priority "
     "order. A hook may return `None` to\npass the context through unchanged, or return a modified dict."},
    {"clear", PALISK_FASTCALL(dispatcher_clear_type), "clear($self, hook_type)\n--\n\nRemove all hooks of a given type."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot dispatcher_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeHookDispatcher()\n--\n\nNative hook dispatcher exposed to Python.")},
    {Py_tp_new, reinterpret_cast<void*>(dispatcher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_state<Hooks>)},
    {Py_tp_traverse, reinterpret_cast<void*>(dispatcher_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear_state<Hooks>)},
    {Py_tp_methods, dispatcher_methods},
    {0, nullptr},
};

PyType_Spec dispatcher_spec = {"palisk_sdk._palisk_sdk.NativeHookDispatcher",
                               static_cast<int>(sizeof(py::Box<HookPtr>)), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, dispatcher_slots};

}  // namespace

int register_hooks(PyObject* module) {
  if (py::hook_type_enum.register_in(module) < 0) return -1;
  return py::add_type(module, &dispatcher_spec) ? 0 : -1;
}

}  // namespace palisk
