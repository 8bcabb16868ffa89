// `_palisk_sdk._testing`: a private namespace for the test suite (internal, not part of the
// API). It exercises the error conversion, the asyncio bridge in both directions and the agent
// process without needing a full client.
#include <atomic>
#include <chrono>

#include "areas.hpp"
#include "core/control_core.hpp"
#include "core/transport.hpp"
#include "py/bridge.hpp"

namespace palisk {

namespace {

using py::Deliver;
using py::Ref;

std::atomic<int> g_cancelled_sleeps{0};

bool arg_kind(PyObject* o, ErrorKind& out) {
  std::uint32_t k;
  if (!py::arg_u32(o, "kind", k)) return false;
  if (k >= static_cast<std::uint32_t>(kErrorKindCount)) {
    PyErr_SetString(PyExc_ValueError, "argument 'kind': no such error kind");
    return false;
  }
  out = static_cast<ErrorKind>(k);
  return true;
}

// raise_error(kind, message): raises the converted error at once.
PyObject* raise_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[2];
  if (!py::parse_fast("raise_error", args, nargs, kw, {"kind", "message"}, 2, a)) return nullptr;
  ErrorKind kind;
  std::string msg;
  if (!arg_kind(a[0], kind) || !py::arg_str(a[1], "message", msg)) return nullptr;
  return py::raise(PaliskError(kind, msg));
}

// error_later(kind, message): an awaitable that fails on the runtime with that error.
PyObject* error_later(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[2];
  if (!py::parse_fast("error_later", args, nargs, kw, {"kind", "message"}, 2, a)) return nullptr;
  ErrorKind kind;
  std::string msg;
  if (!arg_kind(a[0], kind) || !py::arg_str(a[1], "message", msg)) return nullptr;
  return py::start([](PaliskError e) -> rt::awaitable<Deliver> { co_return py::deliver_error(std::move(e)); }(
      PaliskError(kind, msg)));
}

// sleep(seconds): resolves to None after the delay; counts the sleeps cut short by cancellation.
PyObject* sleep(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[1];
  double secs;
  if (!py::parse_fast("sleep", args, nargs, kw, {"seconds"}, 1, a) || !py::arg_f64(a[0], "seconds", secs))
    return nullptr;
  return py::start([](double secs) -> rt::awaitable<Deliver> {
    asio::steady_timer t(co_await asio::this_coro::executor,
                         std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(secs)));
    auto [ec] = co_await t.async_wait(rt::as_tuple(rt::use_awaitable));
    if (ec) {
      ++g_cancelled_sleeps;
      throw std::system_error(ec);
    }
    co_return py::deliver_none();
  }(secs));
}

PyObject* cancelled_sleeps(PyObject*, PyObject*) { return PyLong_FromLong(g_cancelled_sleeps.load()); }

// echo(obj): resolves to obj, delivered from a runtime thread.
PyObject* echo(PyObject*, PyObject* obj) {
  return py::start([](py::Handle h) -> rt::awaitable<Deliver> {
    co_await rt::yield_now();
    co_return [h = std::move(h)]() { return h.ref().release(); };
  }(py::Handle::borrow(obj)));
}

// ready(obj): resolves to obj through the fast path (no thread hop).
PyObject* ready(PyObject*, PyObject* obj) {
  return py::start([&]() -> std::optional<Deliver> { return Deliver([h = Ref::borrow(obj)] { return h.new_ref(); }); },
                   []() -> rt::awaitable<Deliver> { co_return py::deliver_none(); });
}

// throw_native(message): the native work throws a C++ exception.
PyObject* throw_native(PyObject*, PyObject* msg) {
  std::string m;
  if (!py::arg_str(msg, "message", m)) return nullptr;
  return py::start([](std::string m) -> rt::awaitable<Deliver> {
    co_await rt::yield_now();
    throw std::runtime_error(m);
  }(std::move(m)));
}

// await_on_loop(awaitable): a runtime task awaits a Python awaitable on the caller's loop and
// resolves to its result (or raises its exception).
PyObject* await_on_loop(PyObject*, PyObject* aw) {
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  auto rx = py::schedule_on_loop(loop.get(), aw);
  if (!rx) return nullptr;
  return py::start_on(std::move(loop), [](py::OutcomeReceiver rx) -> rt::awaitable<Deliver> {
    py::PyOutcome out = co_await py::await_outcome(std::move(rx));
    if (!out.ok()) co_return py::deliver_exception(std::move(out.exception));
    co_return [v = std::move(out.value)]() { return v.ref().release(); };
  }(std::move(*rx)));
}

bool arg_agent(PyObject* const* a, AgentConfig& cfg) {
  return py::arg_str_list(a[0], "command", cfg.command) && py::arg_opt_str(a[1], "cwd", cfg.cwd) &&
         (!a[2] || py::arg_str_dict(a[2], "env", cfg.env));
}

// run_agent(command, cwd=None, env=None, input=b""): spawns the program, writes `input` to its
// stdin, reads its stdout to the end, kills it twice (the second kill finds it reaped) and
// resolves to (pid, output bytes).
PyObject* run_agent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[4];
  if (!py::parse_fast("run_agent", args, nargs, kw, {"command", "cwd", "env", "input"}, 1, a)) return nullptr;
  AgentConfig cfg;
  if (!arg_agent(a, cfg)) return nullptr;
  std::string input;
  if (a[3]) {
    if (!PyBytes_Check(a[3])) return py::arg_type_error("input", a[3], "bytes"), nullptr;
    input.assign(PyBytes_AsString(a[3]), static_cast<std::size_t>(PyBytes_Size(a[3])));
  }
  return py::start([](AgentConfig cfg, std::string input) -> rt::awaitable<Deliver> {
    auto proc = AgentProcess::spawn(cfg);
    if (!proc) co_return py::deliver_error(std::move(proc.error()));
    auto in = (*proc)->take_stdin();
    auto out = (*proc)->take_stdout();
    if (!in || !out) co_return py::deliver_error(transport_error("pipes missing"));
    if (!input.empty()) {
      co_await asio::async_write(in.value(), asio::buffer(input), rt::as_tuple(rt::use_awaitable));
    }
    in.value().close();
    std::string output;
    char buf[8192];
    for (;;) {
      auto [ec, n] = co_await out.value().async_read_some(asio::buffer(buf), rt::as_tuple(rt::use_awaitable));
      if (ec) break;
      output.append(buf, n);
    }
    pid_t pid = (*proc)->pid();
    for (int i = 0; i < 2; ++i) {
      auto st = co_await (*proc)->kill();
      if (!st) co_return py::deliver_error(std::move(st.error()));
    }
    co_return [pid, output = std::move(output)]() -> PyObject* {
      Ref bytes = Ref::steal(PyBytes_FromStringAndSize(output.data(), static_cast<Py_ssize_t>(output.size())));
      if (!bytes) return nullptr;
      return PyTuple_Pack(2, Ref::steal(PyLong_FromLong(pid)).get(), bytes.get());
    };
  }(std::move(cfg), std::move(input)));
}

// spawn_agent(command, cwd=None, env=None): spawns and drops the process without killing it
// (its stdin closes); resolves to the pid.
PyObject* spawn_agent(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[3];
  if (!py::parse_fast("spawn_agent", args, nargs, kw, {"command", "cwd", "env"}, 1, a)) return nullptr;
  AgentConfig cfg;
  if (!arg_agent(a, cfg)) return nullptr;
  return py::start([](AgentConfig cfg) -> rt::awaitable<Deliver> {
    auto proc = AgentProcess::spawn(cfg);
    if (!proc) co_return py::deliver_error(std::move(proc.error()));
    pid_t pid = (*proc)->pid();
    co_return [pid] { return PyLong_FromLong(pid); };
  }(std::move(cfg)));
}

// set_control_request_timeout(seconds): how long control requests wait for their answer from
// now on (process-wide); returns the previous limit in seconds.
PyObject* set_control_request_timeout(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* a[1];
  double secs;
  if (!py::parse_fast("set_control_request_timeout", args, nargs, kw, {"seconds"}, 1, a) ||
      !py::arg_f64(a[0], "seconds", secs))
    return nullptr;
  double previous = std::chrono::duration<double>(control::request_timeout()).count();
  control::set_request_timeout(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(secs)));
  return PyFloat_FromDouble(previous);
}


PyMethodDef testing_methods[] = {
    {"raise_error", PALISK_FASTCALL(raise_error), nullptr},
    {"error_later", PALISK_FASTCALL(error_later), nullptr},
    {"sleep", PALISK_FASTCALL(sleep), nullptr},
    {"cancelled_sleeps", cancelled_sleeps, METH_NOARGS, nullptr},
    {"echo", echo, METH_O, nullptr},
    {"ready", ready, METH_O, nullptr},
    {"throw_native", throw_native, METH_O, nullptr},
    {"await_on_loop", await_on_loop, METH_O, nullptr},
    {"run_agent", PALISK_FASTCALL(run_agent), nullptr},
    {"spawn_agent", PALISK_FASTCALL(spawn_agent), nullptr},
    {"set_control_request_timeout", PALISK_FASTCALL(set_control_request_timeout), nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef testing_def = {
    PyModuleDef_HEAD_INIT, "palisk_sdk._palisk_sdk._testing", "Internal hooks for the test suite.", -1,
    testing_methods,       nullptr,
    nullptr,               nullptr,
    nullptr,
};

}  // namespace

int register_testing(PyObject* module) {
  PyObject* t = PyModule_Create(&testing_def);
  if (!t) return -1;
  if (PyModule_AddObjectRef(module, "_testing", t) < 0) {
    Py_DECREF(t);
    return -1;
  }
  Py_DECREF(t);
  return 0;
}

}  // namespace palisk
