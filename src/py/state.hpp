// Python objects whose native state is one lock-guarded value shared with the work in flight
// (the registries). The state is made on the first method call, so that building the object does
// not start the runtime; callbacks it holds are reported to the garbage collector.
#pragma once

#include <memory>

#include "core/runtime.hpp"
#include "py/py.hpp"

namespace palisk::py {

template <class T>
using SharedState = std::shared_ptr<rt::Locked<T>>;

template <class T>
SharedState<T> state_of(PyObject* self) {
  auto& p = unbox<SharedState<T>>(self);
  if (!p) p = std::make_shared<rt::Locked<T>>();
  return p;
}

// tp_traverse: `callback_of(element)` gives the Python object an element holds. The collector may
// only account for the callbacks while this object is the state's sole owner: work in flight
// holds the state too and may still call them. Taking the lock also orders these reads after the
// last change made on a runtime thread.
template <class T, class CallbackOf>
int traverse_state(PyObject* self, visitproc visit, void* arg, CallbackOf callback_of) {
  Py_VISIT(Py_TYPE(self));
  const auto& p = unbox<SharedState<T>>(self);
  if (p && p.use_count() == 1) {
    if (auto guard = p->mutex.try_lock()) {
      for (const auto& element : p->value) Py_VISIT(callback_of(element));
    }
  }
  return 0;
}

// tp_clear, under the same condition.
template <class T>
int clear_state(PyObject* self) {
  const auto& p = unbox<SharedState<T>>(self);
  if (p && p.use_count() == 1) {
    T dropped;
    if (auto guard = p->mutex.try_lock()) std::swap(dropped, p->value);
    // `dropped` goes last, after the lock: releasing a callback may run arbitrary Python.
  }
  return 0;
}

// tp_dealloc of a collected type holding a SharedState<T>.
template <class T>
void dealloc_state(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  unbox<SharedState<T>>(self).~SharedState<T>();
  reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free))(self);
  Py_DECREF(tp);
}

}  // namespace palisk::py
