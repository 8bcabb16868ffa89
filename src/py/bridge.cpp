// Futures created on the caller's loop, completed through call_soon_threadsafe; Python
// awaitables run on a loop and awaited from the runtime.
#include "py/bridge.hpp"

#include <system_error>

namespace palisk::py {

namespace {

// Interned names and asyncio functions, made once and kept for the life of the process.
struct Names {
  PyObject* create_future;
  PyObject* set_result;
  PyObject* set_exception;
  PyObject* done;
  PyObject* cancelled;
  PyObject* call_soon_threadsafe;
  PyObject* add_done_callback;
  PyObject* exception;
  PyObject* result;
  PyObject* get_running_loop;
  PyObject* ensure_future;
  PyObject* cancelled_error;
  PyObject* settle_fn;
  bool ok;
};

PyObject* settle(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyMethodDef settle_def = {"_palisk_settle", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(settle)),
                          METH_FASTCALL, nullptr};

const Names& names() {  // GIL
  static Names n = [] {
    Names n{};
    auto intern = [](const char* s) { return PyUnicode_InternFromString(s); };
    n.create_future = intern("create_future");
    n.set_result = intern("set_result");
    n.set_exception = intern("set_exception");
    n.done = intern("done");
    n.cancelled = intern("cancelled");
    n.call_soon_threadsafe = intern("call_soon_threadsafe");
    n.add_done_callback = intern("add_done_callback");
    n.exception = intern("exception");
    n.result = intern("result");
    PyObject* asyncio = PyImport_ImportModule("asyncio");
    if (asyncio) {
      n.get_running_loop = PyObject_GetAttrString(asyncio, "get_running_loop");
      n.ensure_future = PyObject_GetAttrString(asyncio, "ensure_future");
      n.cancelled_error = PyObject_GetAttrString(asyncio, "CancelledError");
      Py_DECREF(asyncio);
    }
    n.settle_fn = PyCFunction_NewEx(&settle_def, nullptr, nullptr);
    n.ok = n.create_future && n.get_running_loop && n.ensure_future && n.cancelled_error && n.settle_fn;
    return n;
  }();
  if (!n.ok && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "asyncio bridge unavailable");
  return n;
}

Ref call_method(PyObject* obj, PyObject* name, PyObject* arg = nullptr) {
  return Ref::steal(PyObject_CallMethodObjArgs(obj, name, arg, nullptr));
}

// Runs on the loop: settle(fut, capsule) completes the future with what the capsule's Deliver
// makes, unless the future is already done (cancelled). The Deliver runs only then, on the loop's
// thread: work that takes something (an item from a queue) takes it only for a caller that is
// still waiting, so a cancellation racing with the result never loses the item.
PyObject* settle(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "settle expects 2 arguments");
    return nullptr;
  }
  const Names& n = names();
  PyObject* fut = args[0];
  auto* d = static_cast<Deliver*>(PyCapsule_GetPointer(args[1], "palisk.deliver"));
  if (!d) return nullptr;
  Ref done = call_method(fut, n.done);
  if (!done) return nullptr;
  if (done.get() == Py_True) return none();
  Ref value = Ref::steal((*d)());
  *d = Deliver();  // release what it held (a lock, say) now rather than when the capsule goes
  Ref r = value ? call_method(fut, n.set_result, value.get()) : call_method(fut, n.set_exception, fetch_exception().get());
  if (!r) return nullptr;
  return none();
}

// Shared between the coroutine's completion handler and the future's done callback.
struct TaskCtl {
  explicit TaskCtl(rt::Strand s) : strand(std::move(s)) {}
  rt::Strand strand;
  asio::cancellation_signal signal;
  bool finished = false;  // on the strand only
};

template <class T>
void capsule_delete(PyObject* cap) {
  delete static_cast<T*>(PyCapsule_GetPointer(cap, PyCapsule_GetName(cap)));
}

// Done callback of a bridged future: a cancelled future cancels the native work.
PyObject* on_future_done(PyObject* cap, PyObject* fut) {
  auto* ctl = static_cast<std::shared_ptr<TaskCtl>*>(PyCapsule_GetPointer(cap, "palisk.task"));
  if (!ctl) return nullptr;
  Ref c = call_method(fut, names().cancelled);
  if (!c) return nullptr;
  if (c.get() == Py_True) {
    auto keep = *ctl;
    asio::post(keep->strand, [keep] {
      if (!keep->finished) keep->signal.emit(asio::cancellation_type::all);
    });
  }
  return none();
}
PyMethodDef on_future_done_def = {"_palisk_on_done", on_future_done, METH_O, nullptr};

// Completes a bridged future from a runtime thread: hands the Deliver to the loop.
struct Completion {
  std::shared_ptr<TaskCtl> ctl;
  Handle loop;
  Handle fut;

  void operator()(std::exception_ptr ep, Deliver d) {
    ctl->finished = true;
    if (ep) {
      std::string what = "native task failed";
      try {
        std::rethrow_exception(ep);
      } catch (const std::exception& e) {
        what = e.what();
      } catch (...) {
      }
      d = [what]() -> PyObject* {
        PyErr_SetString(PyExc_RuntimeError, what.c_str());
        return nullptr;
      };
    } else if (!d) {
      d = []() -> PyObject* {
        PyErr_SetString(PyExc_RuntimeError, "native task produced no result");
        return nullptr;
      };
    }
    Gil gil;
    if (!gil) {
      // The interpreter is going away: leave its objects alone.
      loop.release();
      fut.release();
      return;
    }
    const Names& n = names();
    Ref cap = Ref::steal(PyCapsule_New(new Deliver(std::move(d)), "palisk.deliver", capsule_delete<Deliver>));
    Ref r = cap ? Ref::steal(PyObject_CallMethodObjArgs(loop.get(), n.call_soon_threadsafe, n.settle_fn, fut.get(),
                                                       cap.get(), nullptr))
                : Ref();
    if (!r) PyErr_Clear();  // a closed loop: nobody is left to tell
    fut.reset();
    loop.reset();
  }
};

// ---- Python awaitables on a loop

struct AwaitState {
  rt::Oneshot<PyOutcome>::Sender tx;
};

PyObject* on_awaited_done(PyObject* cap, PyObject* fut) {
  auto* st = static_cast<AwaitState*>(PyCapsule_GetPointer(cap, "palisk.await"));
  if (!st) return nullptr;
  const Names& n = names();
  PyOutcome out;
  Ref c = call_method(fut, n.cancelled);
  if (!c) return nullptr;
  if (c.get() == Py_True) {
    out.exception = Handle::from(Ref::steal(PyObject_CallNoArgs(n.cancelled_error)));
  } else {
    Ref e = call_method(fut, n.exception);
    if (!e) return nullptr;
    if (e.get() != Py_None) {
      out.exception = Handle::from(std::move(e));
    } else {
      Ref v = call_method(fut, n.result);
      if (!v) return nullptr;
      out.value = Handle::from(std::move(v));
    }
  }
  if (!out.exception && !out.value) out.exception = Handle::from(fetch_exception());
  st->tx.send(std::move(out));
  return none();
}
PyMethodDef on_awaited_done_def = {"_palisk_on_awaited", on_awaited_done, METH_O, nullptr};

// Runs on the loop: wraps the awaitable in a task and watches it.
PyObject* start_awaitable(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "expects 2 arguments");
    return nullptr;
  }
  PyObject* cap = args[0];
  auto* st = static_cast<AwaitState*>(PyCapsule_GetPointer(cap, "palisk.await"));
  if (!st) return nullptr;
  const Names& n = names();
  Ref fut = Ref::steal(PyObject_CallFunctionObjArgs(n.ensure_future, args[1], nullptr));
  if (!fut) {
    PyOutcome out;
    out.exception = Handle::from(fetch_exception());
    st->tx.send(std::move(out));
    return none();
  }
  Ref cb = Ref::steal(PyCFunction_NewEx(&on_awaited_done_def, cap, nullptr));
  if (!cb) return nullptr;
  Ref r = call_method(fut.get(), n.add_done_callback, cb.get());
  if (!r) return nullptr;
  return none();
}
PyMethodDef start_awaitable_def = {"_palisk_start_awaitable",
                                   reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start_awaitable)),
                                   METH_FASTCALL, nullptr};

}  // namespace

Deliver deliver_none() {
  return [] { return none(); };
}
Deliver deliver_error(PaliskError e) {
  return [e = std::move(e)]() -> PyObject* { return raise(e); };
}
Deliver deliver_exception(Handle exc) {
  return [exc = std::move(exc)]() -> PyObject* {
    if (exc) restore_exception(exc.get());
    else PyErr_SetString(PyExc_RuntimeError, "unknown error");
    return nullptr;
  };
}
Deliver deliver_str(std::string s) {
  return [s = std::move(s)] { return str(s).release(); };
}
Deliver deliver_bool(bool b) {
  return [b] { return boolean(b).release(); };
}

Ref running_loop() {
  const Names& n = names();
  if (!n.ok) return {};
  drain_deferred();
  return Ref::steal(PyObject_CallNoArgs(n.get_running_loop));
}

PyObject* completed_future(PyObject* loop, Deliver d) {
  const Names& n = names();
  Ref fut = call_method(loop, n.create_future);
  if (!fut) return nullptr;
  Ref value = Ref::steal(d());
  Ref r = value ? call_method(fut.get(), n.set_result, value.get())
                : call_method(fut.get(), n.set_exception, fetch_exception().get());
  if (!r) return nullptr;
  return fut.release();
}

PyObject* start_on(Ref loop, rt::awaitable<Deliver> work) {
  const Names& n = names();
  Ref fut = call_method(loop.get(), n.create_future);
  if (!fut) return nullptr;
  auto ctl = std::make_shared<TaskCtl>(rt::new_strand());
  Ref cap = Ref::steal(PyCapsule_New(new std::shared_ptr<TaskCtl>(ctl), "palisk.task",
                                     capsule_delete<std::shared_ptr<TaskCtl>>));
  if (!cap) return nullptr;
  Ref cb = Ref::steal(PyCFunction_NewEx(&on_future_done_def, cap.get(), nullptr));
  if (!cb) return nullptr;
  if (!call_method(fut.get(), n.add_done_callback, cb.get())) return nullptr;
  auto strand = ctl->strand;
  auto slot = ctl->signal.slot();
  asio::co_spawn(strand, std::move(work),
                 asio::bind_cancellation_slot(slot, Completion{ctl, Handle::from(std::move(loop)), Handle::borrow(fut.get())}));
  return fut.release();
}

PyObject* start(rt::awaitable<Deliver> work) {
  Ref loop = running_loop();
  if (!loop) return nullptr;
  return start_on(std::move(loop), std::move(work));
}

std::optional<OutcomeReceiver> schedule_on_loop(PyObject* loop, PyObject* awaitable) {
  const Names& n = names();
  if (!n.ok) return std::nullopt;
  static PyObject* start_fn = PyCFunction_NewEx(&start_awaitable_def, nullptr, nullptr);
  if (!start_fn) return std::nullopt;
  auto [tx, rx] = rt::Oneshot<PyOutcome>::make();
  Ref cap = Ref::steal(PyCapsule_New(new AwaitState{std::move(tx)}, "palisk.await", capsule_delete<AwaitState>));
  if (!cap) return std::nullopt;
  Ref r = Ref::steal(
      PyObject_CallMethodObjArgs(loop, n.call_soon_threadsafe, start_fn, cap.get(), awaitable, nullptr));
  if (!r) return std::nullopt;
  return std::move(rx);
}

rt::awaitable<PyOutcome> await_outcome(OutcomeReceiver rx) {
  std::optional<PyOutcome> out = co_await rx.receive();
  if (out) co_return std::move(*out);
  PyOutcome lost;
  Gil gil;
  if (gil) {
    lost.exception = Handle::from(
        Ref::steal(PyObject_CallFunction(PyExc_RuntimeError, "s", "event loop closed before the awaitable ran")));
  }
  co_return lost;
}

}  // namespace palisk::py
