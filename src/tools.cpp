// NativeToolRegistry: tool definitions with their Python callbacks in a map behind an async
// mutex, and the invocation of a tool by name with JSON input. The lock covers the lookup and
// the hand-over of the tool's coroutine to the caller's loop, never the coroutine's run.
#include <memory>
#include <unordered_map>

#include "areas.hpp"
#include "core/records.hpp"
#include "py/bridge.hpp"
#include "py/records.hpp"
#include "py/state.hpp"

namespace palisk {

namespace {

using py::Deliver;
using py::Handle;
using py::Ref;

struct RegisteredTool {
  ToolDefinitionData definition;  // kept with the tool; nothing reads it back yet
  Handle callback;
};

using Tools = std::unordered_map<std::string, RegisteredTool>;
using ToolPtr = py::SharedState<Tools>;

ToolPtr tools_of(PyObject* self) { return py::state_of<Tools>(self); }

// ---------------------------------------------------------------- the Python object

PyObject* registry_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  if (!py::parse_tuple("NativeToolRegistry", args, kwargs, {}, 0, nullptr)) return nullptr;
  return py::box(tp, ToolPtr());
}

int registry_traverse(PyObject* self, visitproc visit, void* arg) {
  return py::traverse_state<Tools>(self, visit, arg,
                                   [](const Tools::value_type& entry) { return entry.second.callback.get(); });
}

// ---------------------------------------------------------------- invoke

Ref json_call(const char* fn, PyObject* arg) {
  Ref json = Ref::steal(PyImport_ImportModule("json"));
  if (!json) return {};
  Ref f = Ref::steal(PyObject_GetAttrString(json.get(), fn));
  if (!f) return {};
  return Ref::steal(PyObject_CallFunctionObjArgs(f.get(), arg, nullptr));
}

// Parses the input, calls the callback with its members as keyword arguments and schedules the
// returned awaitable on `loop`. False with the Python error set on any failure. GIL.
bool start_tool(PyObject* loop, const std::string& name, PyObject* callback, const std::string& input,
                std::optional<py::OutcomeReceiver>& rx) {
  Ref text = py::str(input);
  if (!text) return false;
  Ref kwargs = json_call("loads", text.get());
  if (!kwargs) return false;
  if (!PyDict_Check(kwargs.get())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyDict'", py::type_name(kwargs.get()).c_str());
    return false;
  }
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return false;
  Ref result = Ref::steal(PyObject_Call(callback, no_args.get(), kwargs.get()));
  if (!result) return false;
  // Checked here rather than left to the loop: a plain return value would otherwise be lost in
  // the loop's exception handler and the caller would see only a cancellation.
  Ref await = Ref::steal(PyObject_GetAttrString(result.get(), "__await__"));
  if (!await) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "tool '%s' returned a non-awaitable '%s' object", name.c_str(),
                 py::type_name(result.get()).c_str());
    return false;
  }
  rx = py::schedule_on_loop(loop, result.get());
  return rx.has_value();
}

// A str result is the answer as it is; anything else is written by json.dumps. GIL.
PyObject* stringify(PyObject* value) {
  if (PyUnicode_Check(value)) return Py_NewRef(value);
  return json_call("dumps", value).release();
}

rt::awaitable<Deliver> run_invoke(ToolPtr state, Handle loop, std::string name, std::string input) {
  std::optional<py::OutcomeReceiver> rx;
  {
    auto guard = co_await state->mutex.lock();
    py::Gil gil;
    if (!gil) co_return py::deliver_none();  // the interpreter is exiting; nobody will read this
    auto it = state->value.find(name);
    if (it == state->value.end()) {
      guard.release();
      co_return py::deliver_error(PaliskError(ErrorKind::Tool, "tool not found: " + name));
    }
    bool started = start_tool(loop.get(), name, it->second.callback.get(), input, rx);
    guard.release();
    if (!started) co_return py::deliver_exception(Handle::from(py::fetch_exception()));
  }
  py::PyOutcome out = co_await py::await_outcome(std::move(*rx));
  if (!out.ok() || !out.value) co_return py::deliver_exception(std::move(out.exception));
  co_return [value = std::move(out.value)]() { return stringify(value.get()); };
}

// ---------------------------------------------------------------- methods

PyObject* registry_register(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  RegisteredTool tool;
  if (!py::parse_fast("register", args, nargs, kwnames, {"definition", "callback"}, 2, a)) return nullptr;
  if (!py::read_tool_definition(a[0], tool.definition)) {
    py::arg_type_error("definition", a[0], "ToolDefinition");
    return nullptr;
  }
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  tool.callback = Handle::borrow(a[1]);
  return py::start_on(std::move(loop), [](ToolPtr state, RegisteredTool tool) -> rt::awaitable<Deliver> {
    auto guard = co_await state->mutex.lock();
    std::string key = tool.definition.name;
    state->value.insert_or_assign(std::move(key), std::move(tool));
    co_return py::deliver_none();
  }(tools_of(self), std::move(tool)));
}

PyObject* registry_unregister(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  std::string name;
  if (!py::parse_fast("unregister", args, nargs, kwnames, {"name"}, 1, a) || !py::arg_str(a[0], "name", name))
    return nullptr;
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  return py::start_on(std::move(loop), [](ToolPtr state, std::string name) -> rt::awaitable<Deliver> {
    auto guard = co_await state->mutex.lock();
    state->value.erase(name);
    co_return py::deliver_none();
  }(tools_of(self), std::move(name)));
}

PyObject* registry_list_tools(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_fast("list_tools", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  return py::start_on(std::move(loop), [](ToolPtr state) -> rt::awaitable<Deliver> {
    auto guard = co_await state->mutex.lock();
    std::vector<std::string> names;
    names.reserve(state->value.size());
    for (const auto& entry : state->value) names.push_back(entry.first);
    guard.release();
    co_return [names = std::move(names)] { return py::str_list(names).release(); };
  }(tools_of(self)));
}

PyObject* registry_invoke(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  std::string name, input;
  if (!py::parse_fast("invoke", args, nargs, kwnames, {"name", "input_json"}, 2, a) ||
      !py::arg_str(a[0], "name", name) || !py::arg_str(a[1], "input_json", input))
    return nullptr;
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  Handle tool_loop = Handle::borrow(loop.get());
  return py::start_on(std::move(loop),
                      run_invoke(tools_of(self), std::move(tool_loop), std::move(name), std::move(input)));
}


PyMethodDef registry_methods[] = {
    {"register", PALISK_FASTCALL(registry_register),
     "register($self, definition, callback)\n--\n\nRegister a tool with its definition and Python callback."},
    {"unregister", PALISK_FASTCALL(registry_unregister), "unregister($self, name)\n--\n\nRemove a registered tool by name."},
    {"list_tools", PALISK_FASTCALL(registry_list_tools), "list_tools($self)\n--\n\nList all registered tool names."},
    {"invoke", PALISK_FASTCALL(registry_invoke),
     "invoke($self, name, input_json)\n--\n\nInvoke a tool by name with the given JSON input string.\n\nParses "
     "`input_json` as a dict and calls the registered async Python\ncallback with keyword arguments. Returns the "
     "stringified result."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot registry_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "NativeToolRegistry()\n--\n\nNative tool registry exposed to Python.\n\n"
                    "Manages tool definitions and their Python callback handlers. When the agent\n"
                    "invokes a tool through MCP, the registry dispatches to the matching Python function.")},
    {Py_tp_new, reinterpret_cast<void*>(registry_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_state<Tools>)},
    {Py_tp_traverse, reinterpret_cast<void*>(registry_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(py::clear_state<Tools>)},
    {Py_tp_methods, registry_methods},
    {0, nullptr},
};

PyType_Spec registry_spec = {"palisk_sdk._palisk_sdk.NativeToolRegistry", static_cast<int>(sizeof(py::Box<ToolPtr>)),
                             0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, registry_slots};

}  // namespace

int register_tools(PyObject* module) { return py::add_type(module, &registry_spec) ? 0 : -1; }

}  // namespace palisk
