// The bridge between native asynchronous work and asyncio.
//
// Native -> Python: an awaitable method converts its arguments, then calls start(). start()
// captures the running loop (none: the asyncio error is raised and nothing starts), creates a
// future on it and either completes it at once on the calling thread (the fast path: the work
// could finish without waiting) or runs the work as a coroutine on a fresh strand and completes
// the future through call_soon_threadsafe, skipping a future that is already done and
// tolerating a closed loop. Cancelling the future cancels the coroutine at its next suspension
// point. An exception escaping the coroutine completes the future with RuntimeError.
//
// Python -> native: schedule_on_loop() runs a Python awaitable on a given loop and hands back a
// one-shot receiver of its outcome that a runtime coroutine awaits without the GIL.
#pragma once

#include <optional>

#include "core/runtime.hpp"
#include "py/py.hpp"

namespace palisk::py {

// A move-only type-erased callable.
template <class Sig>
class UniqueFn;
template <class R, class... A>
class UniqueFn<R(A...)> {
  struct Base {
    virtual ~Base() = default;
    virtual R call(A... a) = 0;
  };
  template <class F>
  struct Impl final : Base {
    explicit Impl(F f) : f(std::move(f)) {}
    R call(A... a) override { return f(std::forward<A>(a)...); }
    F f;
  };

 public:
  UniqueFn() = default;
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, UniqueFn>>>
  UniqueFn(F f) : p_(std::make_unique<Impl<F>>(std::move(f))) {}
  R operator()(A... a) { return p_->call(std::forward<A>(a)...); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  std::unique_ptr<Base> p_;
};

// What an awaitable method hands to Python: called with the GIL on the loop's thread, and only if
// the future is still pending (never for a cancelled one); returns a new reference to the
// result, or nullptr with a Python error set (which becomes the future's exception). It may be
// destroyed on any thread without being called, so it captures native values and Handles only.
using Deliver = UniqueFn<PyObject*()>;

Deliver deliver_none();
Deliver deliver_error(PaliskError e);
Deliver deliver_exception(Handle exc);  // a Python exception instance, passed through unchanged
Deliver deliver_str(std::string s);
Deliver deliver_bool(bool b);

// The running loop of this thread, or nullptr with asyncio's RuntimeError set. GIL.
Ref running_loop();
PyObject* start_on(Ref loop, rt::awaitable<Deliver> work);
PyObject* completed_future(PyObject* loop, Deliver d);

// Starts `work` (an rt::awaitable<Deliver>) for the running loop and returns the future. GIL.
PyObject* start(rt::awaitable<Deliver> work);

// As start(), but first runs fast() on the calling thread (GIL held, loop captured): if it
// returns a Deliver, the future is completed at once and `make_work` is never called.
template <class Fast, class MakeWork>
PyObject* start(Fast&& fast, MakeWork&& make_work) {
  Ref loop = running_loop();
  if (!loop) return nullptr;
  if (std::optional<Deliver> d = fast()) return completed_future(loop.get(), std::move(*d));
  return start_on(std::move(loop), make_work());
}


// The outcome of a Python awaitable: its value, or the exception it raised (a cancelled
// awaitable gives an asyncio.CancelledError instance).
struct PyOutcome {
  Handle value;
  Handle exception;
  bool ok() const { return !exception; }
};
using OutcomeReceiver = rt::Oneshot<PyOutcome>::Receiver;

// Schedules `awaitable` on `loop` (asyncio.ensure_future inside a loop callback). The receiver
// sees the outcome, or "dropped" if the loop never ran it. nullopt with a Python error set when
// the loop refuses the callback (for example a closed loop). GIL.
std::optional<OutcomeReceiver> schedule_on_loop(PyObject* loop, PyObject* awaitable);

// Awaits an outcome receiver from a runtime coroutine, without the GIL. A dropped outcome
// becomes a RuntimeError exception ("event loop closed before the awaitable ran").
rt::awaitable<PyOutcome> await_outcome(OutcomeReceiver rx);

}  // namespace palisk::py
