// The binding layer: the only code that includes Python.h. Owned and borrowed references, a GIL
// guard that is safe at interpreter exit, argument parsing that names the argument, heap-type
// helpers and the one conversion of PaliskError into a Python exception.
//
// Preconditions are stated per declaration: "GIL" means the caller holds the interpreter lock;
// "any thread" means it may be called without it.
#pragma once

#ifndef Py_LIMITED_API
#error "the binding layer is built against the limited API only"
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace palisk::py {

// ---------------------------------------------------------------- references

// An owned strong reference. GIL for every operation that touches the count.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& o) : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  PyObject* new_ref() const {
    Py_XINCREF(p_);
    return p_;
  }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// True when this thread may touch Python objects: always on threads that called in from
// Python, and on runtime threads while they hold a Gil guard. Any thread.
bool gil_held();

// A reference that native state may keep and drop on any thread. Dropped without the GIL, the
// reference is released the next time a Gil guard is taken (never, once the interpreter exits).
class Handle {
 public:
  Handle() = default;
  static Handle borrow(PyObject* p) {  // GIL
    Py_XINCREF(p);
    return Handle(p);
  }
  static Handle steal(PyObject* p) { return Handle(p); }
  static Handle from(Ref r) { return Handle(r.release()); }
  Handle(Handle&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { reset(); }

  void reset();                                      // any thread
  PyObject* get() const { return p_; }               // any thread; use the pointer under the GIL
  Ref ref() const { return Ref::borrow(p_); }        // GIL
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  explicit Handle(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

// Releases references that were dropped without the GIL. GIL.
void drain_deferred();

// ---------------------------------------------------------------- the interpreter lock

// Takes the GIL on a runtime thread (with the thread's persistent thread state) and releases it
// at the end of the scope; nests; does nothing on threads that called in from Python. Evaluates
// to false when the interpreter is shutting down: then Python must not be touched at all.
class Gil {
 public:
  Gil();
  ~Gil();
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;
  explicit operator bool() const { return ok_; }

 private:
  enum class Mode { Skip, Nested, Worker, Pool } mode_ = Mode::Skip;
  bool ok_ = false;
  int gstate_ = 0;
};

// Registers the exit hook that stops runtime threads from entering Python once the interpreter
// begins to shut down. GIL; called once by the module initialiser.
int install_exit_guard();

// ---------------------------------------------------------------- errors

// Converts a PaliskError into a Python exception instance: the class of the kind's name from
// palisk_sdk.exceptions (looked up on every call) called with the display text, or RuntimeError
// with the display text when that fails. Never fails. GIL.
Ref make_exception(const PaliskError& e);
// Sets the converted error as the current Python error. Returns nullptr for convenience. GIL.
PyObject* raise(const PaliskError& e);

// The current Python exception, normalised, with its traceback attached; clears it. GIL.
Ref fetch_exception();
// Sets `exc` (an exception instance) as the current Python error. GIL.
void restore_exception(PyObject* exc);

// type(o).__name__ as UTF-8 ("?" if it cannot be read). GIL.
std::string type_name(PyObject* o);

// ---------------------------------------------------------------- conversions

Ref str(const std::string& s);                               // GIL; nullptr on error
Ref opt_str(const std::optional<std::string>& s);            // None when absent
Ref str_list(const std::vector<std::string>& items);         // GIL
Ref boolean(bool b);
inline PyObject* none() { return Py_NewRef(Py_None); }       // never Py_RETURN_NONE (see notes)
// UTF-8 of a str; nullopt with the Python error set when it is not a str or not encodable.
std::optional<std::string> utf8(PyObject* s);

// ---------------------------------------------------------------- arguments
//
// Argument errors are TypeError or OverflowError whose message names the argument:
//   "argument 'kind': 'int' object cannot be converted to 'UpdateKind'".

// Positional-or-keyword parsing for METH_FASTCALL | METH_KEYWORDS. `names` in signature order,
// the first `required` of them required. On success out[i] is the borrowed argument or nullptr
// when it was left out. GIL.
bool parse_fast(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, std::size_t required, PyObject** out);
// The same for tp_new / tp_init style (tuple + dict). GIL.
bool parse_tuple(const char* fname, PyObject* args, PyObject* kwargs, std::initializer_list<const char*> names,
                 std::size_t required, PyObject** out);
// Both, with the names as an array of `count`.
bool parse_fast(const char* fname, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                const char* const* names, std::size_t count, std::size_t required, PyObject** out);
bool parse_tuple(const char* fname, PyObject* args, PyObject* kwargs, const char* const* names, std::size_t count,
                 std::size_t required, PyObject** out);

// Sets "argument '<name>': '<type>' object cannot be converted to '<target>'"; returns false.
bool arg_type_error(const char* name, PyObject* got, const char* target);

// Each converter accepts the borrowed argument (nullptr = left out, allowed only for optional
// ones), sets the named error and returns false on failure. GIL.
bool arg_str(PyObject* o, const char* name, std::string& out);
bool arg_opt_str(PyObject* o, const char* name, std::optional<std::string>& out);  // None or absent -> nullopt
bool arg_bool(PyObject* o, const char* name, bool& out);                           // a real bool only
bool arg_u64(PyObject* o, const char* name, std::uint64_t& out);
bool arg_u32(PyObject* o, const char* name, std::uint32_t& out);
bool arg_i32(PyObject* o, const char* name, std::int32_t& out);
bool arg_i64(PyObject* o, const char* name, std::int64_t& out);
bool arg_f64(PyObject* o, const char* name, double& out);                          // anything float() takes
// Any sequence of str except a str itself ("a str cannot be taken as a list").
bool arg_str_list(PyObject* o, const char* name, std::vector<std::string>& out);
// A dict of str to str, in insertion order.
bool arg_str_dict(PyObject* o, const char* name, std::vector<std::pair<std::string, std::string>>& out);

// ---------------------------------------------------------------- heap types

// A Python object that holds one native value.
template <class T>
struct Box {
  PyObject_HEAD
  T value;
};

template <class T>
T& unbox(PyObject* o) {
  return reinterpret_cast<Box<T>*>(o)->value;
}

// Allocates an instance of `tp` holding `value`. GIL; nullptr with an error set on failure.
template <class T>
PyObject* box(PyTypeObject* tp, T value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* o = alloc(tp, 0);
  if (!o) return nullptr;
  new (&reinterpret_cast<Box<T>*>(o)->value) T(std::move(value));
  return o;
}

// tp_dealloc for Box<T> types without GC.
template <class T>
void box_dealloc(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  reinterpret_cast<Box<T>*>(o)->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(o);
  Py_DECREF(tp);
}

// tp_new that refuses construction: TypeError "No constructor defined for <Name>".
PyObject* no_constructor(PyTypeObject* tp, PyObject* args, PyObject* kwargs);

// Creates a heap type from `spec` (with `module` as its module) and adds it to the module under
// its short name. Returns a strong reference kept for the life of the process, or nullptr.
PyTypeObject* add_type(PyObject* module, PyType_Spec* spec);
// Sets a class attribute on a type created immutable (only right after creation). GIL.
int set_class_attr(PyTypeObject* tp, const char* name, PyObject* value);

inline bool is_instance(PyObject* o, PyTypeObject* tp) { return PyObject_TypeCheck(o, tp); }

// The function-pointer and flags members of a PyMethodDef for a METH_FASTCALL | METH_KEYWORDS
// method (the limited API has no public type for its signature before 3.13).
#define PALISK_FASTCALL(f) \
  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)), METH_FASTCALL | METH_KEYWORDS

}  // namespace palisk::py
