// References, the GIL guard and its exit safety, error conversion, argument parsing, heap types.
#include "py/py.hpp"

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "core/runtime.hpp"

namespace palisk::py {

// ---------------------------------------------------------------- GIL and deferred releases

namespace {

thread_local int tl_depth = 0;                    // Gil guards held by this runtime thread
thread_local PyThreadState* tl_tstate = nullptr;  // a worker's persistent thread state
thread_local bool tl_pool_thread = false;

std::atomic<int> g_inside{0};         // runtime threads inside (or entering) the GIL
std::atomic<bool> g_closing{false};   // set by the exit hook; never cleared

struct Deferred {
  std::mutex m;
  std::vector<PyObject*> items;
  std::atomic<bool> any{false};
};
Deferred& deferred() {
  static Deferred* d = new Deferred();  // never destroyed: used by threads alive at exit
  return *d;
}

// Worker threads of the runtime live for the whole process and keep one thread state each;
// blocking-pool threads come and go, so they take a fresh thread state each time.
bool is_worker_thread() { return rt::on_runtime_thread() && !tl_pool_thread; }

}  // namespace

bool gil_held() { return !rt::on_runtime_thread() || tl_depth > 0; }

void Handle::reset() {
  PyObject* p = std::exchange(p_, nullptr);
  if (!p) return;
  if (gil_held()) {
    Py_DECREF(p);
    return;
  }
  auto& d = deferred();
  std::lock_guard lk(d.m);
  d.items.push_back(p);
  d.any.store(true, std::memory_order_release);
}

void drain_deferred() {
  auto& d = deferred();
  if (!d.any.load(std::memory_order_acquire)) return;
  std::vector<PyObject*> items;
  {
    std::lock_guard lk(d.m);
    items.swap(d.items);
    d.any.store(false, std::memory_order_release);
  }
  for (PyObject* p : items) Py_DECREF(p);
}

Gil::Gil() {
  if (!rt::on_runtime_thread()) {
    mode_ = Mode::Skip;
    ok_ = true;
    return;
  }
  if (tl_depth > 0) {
    mode_ = Mode::Nested;
    ++tl_depth;
    ok_ = true;
    return;
  }
  // Announce first, then look at the flag: the exit hook sets the flag first, then waits for
  // the count to drain, so either it sees us or we see it.
  g_inside.fetch_add(1, std::memory_order_seq_cst);
  if (g_closing.load(std::memory_order_seq_cst)) {
    g_inside.fetch_sub(1, std::memory_order_seq_cst);
    ok_ = false;
    return;
  }
  if (is_worker_thread()) {
    mode_ = Mode::Worker;
    if (tl_tstate) {
      PyEval_RestoreThread(tl_tstate);
    } else {
      PyGILState_Ensure();  // creates this thread's state; it is kept, never released
      tl_tstate = PyThreadState_Get();
    }
  } else {
    mode_ = Mode::Pool;
    gstate_ = static_cast<int>(PyGILState_Ensure());
  }
  tl_depth = 1;
  ok_ = true;
  drain_deferred();
}

Gil::~Gil() {
  if (!ok_) return;
  switch (mode_) {
    case Mode::Skip:
      return;
    case Mode::Nested:
      --tl_depth;
      return;
    case Mode::Worker:
      drain_deferred();
      tl_depth = 0;
      PyEval_SaveThread();
      break;
    case Mode::Pool:
      drain_deferred();
      tl_depth = 0;
      PyGILState_Release(static_cast<PyGILState_STATE>(gstate_));
      break;
  }
  g_inside.fetch_sub(1, std::memory_order_seq_cst);
}

namespace {

// atexit hook: from now on runtime threads leave Python alone. Wait (without the GIL) for the
// ones already inside to leave, bounded so that a stuck callback cannot hang the exit.
PyObject* exit_hook(PyObject*, PyObject*) {
  g_closing.store(true, std::memory_order_seq_cst);
  if (g_inside.load(std::memory_order_seq_cst) > 0) {
    Py_BEGIN_ALLOW_THREADS
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (g_inside.load(std::memory_order_seq_cst) > 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Py_END_ALLOW_THREADS
  }
  return none();
}

PyMethodDef exit_hook_def = {"_palisk_exit_hook", exit_hook, METH_NOARGS, nullptr};

}  // namespace

int install_exit_guard() {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return -1;
  Ref fn = Ref::steal(PyCFunction_NewEx(&exit_hook_def, nullptr, nullptr));
  if (!fn) return -1;
  Ref r = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", fn.get()));
  return r ? 0 : -1;
}

// ---------------------------------------------------------------- errors

std::string type_name(PyObject* o) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
  if (!name) {
    PyErr_Clear();
    return "?";
  }
  auto s = utf8(name.get());
  if (!s) {
    PyErr_Clear();
    return "?";
  }
  return *s;
}

Ref make_exception(const PaliskError& e) {
  std::string text = e.display();
  Ref arg = Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!arg) {
    PyErr_Clear();
    arg = Ref::steal(PyUnicode_FromString("?"));
  }
  Ref exc;
  if (Ref mod = Ref::steal(PyImport_ImportModule("palisk_sdk.exceptions"))) {
    if (Ref cls = Ref::steal(PyObject_GetAttrString(mod.get(), e.class_name()))) {
      exc = Ref::steal(PyObject_CallFunctionObjArgs(cls.get(), arg.get(), nullptr));
    }
  }
  if (!exc) {
    PyErr_Clear();  // the cause of the fallback is discarded, never chained
    exc = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, arg.get(), nullptr));
    if (!exc) PyErr_Clear();
  }
  return exc;
}

PyObject* raise(const PaliskError& e) {
  Ref exc = make_exception(e);
  if (exc) restore_exception(exc.get());
  else PyErr_SetString(PyExc_RuntimeError, e.display().c_str());
  return nullptr;
}

Ref fetch_exception() {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return {};
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return Ref::steal(value);
}

void restore_exception(PyObject* exc) {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
}

// ---------------------------------------------------------------- conversions

Ref str(const std::string& s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

Ref opt_str(const std::optional<std::string>& s) {
  if (!s) return Ref::borrow(Py_None);
  return str(*s);
}

Ref str_list(const std::vector<std::string>& items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return {};
  for (std::size_t i = 0; i < items.size(); ++i) {
    Ref s = str(items[i]);
    if (!s) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), s.release());
  }
  return list;
}

Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }

std::optional<std::string> utf8(PyObject* s) {
  if (!PyUnicode_Check(s)) {
    PyErr_SetString(PyExc_TypeError, "expected str");
    return std::nullopt;
  }
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(s, &n);
  if (!p) return std::nullopt;
  return std::string(p, static_cast<std::size_t>(n));
}

// ---------------------------------------------------------------- arguments

namespace {

bool place_keywords(const char* fname, const char* const* names, std::size_t count, PyObject* key, PyObject* value,
                    PyObject** out, std::size_t npos) {
  auto k = utf8(key);
  if (!k) return false;
  for (std::size_t i = 0; i < count; ++i) {
    const char* n = names[i];
    if (*k == n) {
      if (i < npos || out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, n);
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", fname, k->c_str());
  return false;
}

bool check_counts(const char* fname, const char* const* names, std::size_t count, std::size_t required,
                  std::size_t npos, PyObject** out) {
  if (npos > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zu given)", fname, count, npos);
    return false;
  }
  for (std::size_t i = 0; i < required && i < count; ++i) {
    if (!out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, names[i], i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool parse_fast(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, std::size_t count, std::size_t required, PyObject** out) {
  std::size_t npos = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < count; ++i) out[i] = i < npos ? args[i] : nullptr;
  if (npos > count) return check_counts(fname, names, count, required, npos, out);
  if (kwnames) {
    Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t j = 0; j < nkw; ++j) {
      if (!place_keywords(fname, names, count, PyTuple_GetItem(kwnames, j), args[nargs + j], out, npos)) return false;
    }
  }
  return check_counts(fname, names, count, required, npos, out);
}

bool parse_tuple(const char* fname, PyObject* args, PyObject* kwargs, const char* const* names, std::size_t count,
                 std::size_t required, PyObject** out) {
  std::size_t npos = args ? static_cast<std::size_t>(PyTuple_Size(args)) : 0;
  for (std::size_t i = 0; i < count; ++i) out[i] = i < npos ? PyTuple_GetItem(args, static_cast<Py_ssize_t>(i)) : nullptr;
  if (npos > count) return check_counts(fname, names, count, required, npos, out);
  if (kwargs) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!place_keywords(fname, names, count, key, value, out, npos)) return false;
    }
  }
  return check_counts(fname, names, count, required, npos, out);
}

bool parse_fast(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, std::size_t required, PyObject** out) {
  return parse_fast(fname, args, nargs, kwnames, names.begin(), names.size(), required, out);
}

bool parse_tuple(const char* fname, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> names,
                 std::size_t required, PyObject** out) {
  return parse_tuple(fname, args, kwargs, names.begin(), names.size(), required, out);
}

bool arg_type_error(const char* name, PyObject* got, const char* target) {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", name,
               type_name(got).c_str(), target);
  return false;
}

namespace {
bool missing(const char* name) {
  PyErr_Format(PyExc_TypeError, "missing required argument '%s'", name);
  return false;
}
// Re-raises the pending OverflowError (or TypeError) with the argument's name in front.
bool rename_error(const char* name) {
  Ref exc = fetch_exception();
  PyObject* type = exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc.get())) : PyExc_OverflowError;
  // Unicode errors cannot be built from a message alone (a str holding a lone surrogate gets
  // here): their ValueError base keeps the category and takes the named message.
  if (PyErr_GivenExceptionMatches(type, PyExc_UnicodeError)) type = PyExc_ValueError;
  Ref text = exc ? Ref::steal(PyObject_Str(exc.get())) : Ref();
  std::string msg = text ? utf8(text.get()).value_or("out of range") : "out of range";
  PyErr_Clear();
  PyErr_Format(type, "argument '%s': %s", name, msg.c_str());
  return false;
}
}  // namespace

bool arg_str(PyObject* o, const char* name, std::string& out) {
  if (!o) return missing(name);
  if (!PyUnicode_Check(o)) return arg_type_error(name, o, "str");
  auto s = utf8(o);
  if (!s) return rename_error(name);
  out = std::move(*s);
  return true;
}

bool arg_opt_str(PyObject* o, const char* name, std::optional<std::string>& out) {
  if (!o || o == Py_None) {
    out.reset();
    return true;
  }
  std::string s;
  if (!arg_str(o, name, s)) return false;
  out = std::move(s);
  return true;
}

bool arg_bool(PyObject* o, const char* name, bool& out) {
  if (!o) return missing(name);
  if (!PyBool_Check(o)) return arg_type_error(name, o, "bool");
  out = o == Py_True;
  return true;
}

namespace {
// Integer-index protocol: int, bool, or an object with __index__; a float is refused.
Ref as_index(PyObject* o, const char* name) {
  if (PyFloat_Check(o) || !PyIndex_Check(o)) {
    arg_type_error(name, o, "int");
    return {};
  }
  Ref i = Ref::steal(PyNumber_Index(o));
  if (!i) rename_error(name);
  return i;
}
}  // namespace

bool arg_u64(PyObject* o, const char* name, std::uint64_t& out) {
  if (!o) return missing(name);
  Ref i = as_index(o, name);
  if (!i) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(i.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return rename_error(name);
  out = v;
  return true;
}

bool arg_u32(PyObject* o, const char* name, std::uint32_t& out) {
  std::uint64_t v = 0;
  if (!arg_u64(o, name, v)) return false;
  if (v > 0xFFFFFFFFull) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': out of range integral type conversion attempted", name);
    return false;
  }
  out = static_cast<std::uint32_t>(v);
  return true;
}

bool arg_i64(PyObject* o, const char* name, std::int64_t& out) {
  if (!o) return missing(name);
  Ref i = as_index(o, name);
  if (!i) return false;
  long long v = PyLong_AsLongLong(i.get());
  if (v == -1 && PyErr_Occurred()) return rename_error(name);
  out = v;
  return true;
}

bool arg_i32(PyObject* o, const char* name, std::int32_t& out) {
  std::int64_t v = 0;
  if (!arg_i64(o, name, v)) return false;
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': out of range integral type conversion attempted", name);
    return false;
  }
  out = static_cast<std::int32_t>(v);
  return true;
}

bool arg_f64(PyObject* o, const char* name, double& out) {
  if (!o) return missing(name);
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return arg_type_error(name, o, "float");
  }
  out = v;
  return true;
}

bool arg_str_list(PyObject* o, const char* name, std::vector<std::string>& out) {
  if (!o) return missing(name);
  if (PyUnicode_Check(o)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a str cannot be taken as a list", name);
    return false;
  }
  if (!PySequence_Check(o)) return arg_type_error(name, o, "list");
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return rename_error(name);
  std::vector<std::string> items;
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref item = Ref::steal(PySequence_GetItem(o, i));
    if (!item) return rename_error(name);
    if (!PyUnicode_Check(item.get())) return arg_type_error(name, item.get(), "str");
    auto s = utf8(item.get());
    if (!s) return rename_error(name);
    items.push_back(std::move(*s));
  }
  out = std::move(items);
  return true;
}

bool arg_str_dict(PyObject* o, const char* name, std::vector<std::pair<std::string, std::string>>& out) {
  if (!o) return missing(name);
  if (!PyDict_Check(o)) return arg_type_error(name, o, "dict");
  std::vector<std::pair<std::string, std::string>> items;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(o, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) return arg_type_error(name, key, "str");
    if (!PyUnicode_Check(value)) return arg_type_error(name, value, "str");
    auto k = utf8(key);
    if (!k) return rename_error(name);
    auto v = utf8(value);
    if (!v) return rename_error(name);
    items.emplace_back(std::move(*k), std::move(*v));
  }
  out = std::move(items);
  return true;
}

// ---------------------------------------------------------------- heap types

PyObject* no_constructor(PyTypeObject* tp, PyObject*, PyObject*) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__name__"));
  std::string n = name ? utf8(name.get()).value_or("?") : "?";
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", n.c_str());
  return nullptr;
}

PyTypeObject* add_type(PyObject* module, PyType_Spec* spec) {
  PyObject* tp = PyType_FromModuleAndSpec(module, spec, nullptr);
  if (!tp) return nullptr;
  if (PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(tp)) < 0) {
    Py_DECREF(tp);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(tp);  // the caller keeps this reference for ever
}

int set_class_attr(PyTypeObject* tp, const char* name, PyObject* value) {
  // type.__setattr__ refuses immutable types, so write the type's dict through the generic
  // setter, right after creation, before anything has looked the name up.
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  if (!key) return -1;
  int rc = PyObject_GenericSetAttr(reinterpret_cast<PyObject*>(tp), key.get(), value);
  PyType_Modified(tp);
  return rc;
}

}  // namespace palisk::py
