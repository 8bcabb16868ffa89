// The process-wide asynchronous runtime and the few primitives every area builds on:
// strands for coroutines, an async FIFO mutex, one-shot channels, events, bounded queues with
// counted senders, a growable pool for blocking calls. All are built on Asio's own primitives;
// no thread ever sleeps to wait for another.
#pragma once

#include <asio.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/concurrent_channel.hpp>
#include <asio/experimental/deferred.hpp>
#include <asio/experimental/parallel_group.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

namespace palisk::rt {

// as_tuple/deferred moved out of experimental in Asio 1.24 and the old aliases went away in 1.34.
#if ASIO_VERSION >= 102400
using asio::as_tuple;
inline constexpr auto& deferred = asio::deferred;
#else
using asio::experimental::as_tuple;
inline constexpr auto& deferred = asio::experimental::deferred;
#endif

template <class T>
using awaitable = asio::awaitable<T>;
using asio::use_awaitable;
using error_code = asio::error_code;
using Executor = asio::io_context::executor_type;
using Strand = asio::strand<Executor>;

// The shared multi-threaded io_context: created on first use with one worker per processor,
// never stopped or destroyed (it lives until the process exits).
asio::io_context& io();
inline Executor executor() { return io().get_executor(); }
Strand new_strand();

// True on the runtime's worker threads and on the blocking pool's threads.
bool on_runtime_thread();

// Runs `fn` on a pool thread made for blocking calls (descriptor reads and writes, waitpid).
// The pool grows when every thread is busy, so a call that blocks for ever never starves
// another; idle threads exit after a while.
void submit_blocking(std::function<void()> fn);

// Spawns a coroutine on a fresh strand and forgets it. An exception escaping it is swallowed.
template <class Awaitable>
void spawn_detached(Awaitable&& aw) {
  asio::co_spawn(new_strand(), std::forward<Awaitable>(aw), [](std::exception_ptr) {});
}

// Gives way to the runtime's other tasks once.
inline awaitable<void> yield_now() {
  co_await asio::post(co_await asio::this_coro::executor, use_awaitable);
}

// A binary event: notify() wakes one waiter, or the next one to wait if none waits now.
// Built by hand rather than on an Asio channel: in Asio 1.22 a channel whose waiting receive was
// cancelled refuses every later try_send, which would lose wake-ups after a cancelled wait.
class Event {
  struct Op {
    virtual ~Op() = default;
    virtual void complete(error_code ec) = 0;
  };
  template <class Handler>
  struct OpFor final : Op {
    explicit OpFor(Handler h) : handler(std::move(h)) {}
    void complete(error_code ec) override {
      auto ex = asio::get_associated_executor(handler, executor());
      asio::post(ex, [h = std::move(handler), ec]() mutable { h(ec); });
    }
    Handler handler;
  };
  struct Impl {
    std::mutex m;
    bool signaled = false;
    std::deque<std::shared_ptr<Op>> waiters;
  };

 public:
  void notify() {
    std::shared_ptr<Op> op;
    {
      std::lock_guard lk(impl_->m);
      if (impl_->waiters.empty()) {
        impl_->signaled = true;
        return;
      }
      op = std::move(impl_->waiters.front());
      impl_->waiters.pop_front();
    }
    op->complete(error_code{});
  }
  // Wakes every current waiter (and leaves one wake-up for the next).
  void notify_all() {
    std::deque<std::shared_ptr<Op>> ops;
    {
      std::lock_guard lk(impl_->m);
      ops.swap(impl_->waiters);
      impl_->signaled = true;
    }
    for (auto& op : ops) op->complete(error_code{});
  }

  template <class Token>
  auto async_wait(Token&& token) {
    return asio::async_initiate<Token, void(error_code)>(
        [impl = impl_](auto handler) {
          using H = std::decay_t<decltype(handler)>;
          auto slot = asio::get_associated_cancellation_slot(handler);
          auto op = std::make_shared<OpFor<H>>(std::move(handler));
          {
            std::unique_lock lk(impl->m);
            if (impl->signaled) {
              impl->signaled = false;
              lk.unlock();
              op->complete(error_code{});
              return;
            }
            impl->waiters.push_back(op);
          }
          if (slot.is_connected()) {
            slot.assign([w = std::weak_ptr<Impl>(impl), o = std::weak_ptr<Op>(op)](asio::cancellation_type) {
              auto impl = w.lock();
              auto op = o.lock();
              if (!impl || !op) return;
              {
                std::lock_guard lk(impl->m);
                auto it = std::find(impl->waiters.begin(), impl->waiters.end(), op);
                if (it == impl->waiters.end()) return;  // already woken
                impl->waiters.erase(it);
              }
              op->complete(asio::error::operation_aborted);
            });
          }
        },
        token);
  }
  // Throws on cancellation, like every use_awaitable operation.
  awaitable<void> wait() {
    auto [ec] = co_await async_wait(as_tuple(use_awaitable));
    if (ec) throw std::system_error(ec);
  }

 private:
  std::shared_ptr<Impl> impl_ = std::make_shared<Impl>();
};

// Asynchronous FIFO mutex: a one-place channel; lock = send, unlock = receive. Waiters are
// served in arrival order; a waiter that is cancelled takes nothing.
class AsyncMutex {
 public:
  class Guard {
   public:
    Guard() = default;
    explicit Guard(AsyncMutex* m) : m_(m) {}
    Guard(Guard&& o) noexcept : m_(std::exchange(o.m_, nullptr)) {}
    Guard& operator=(Guard&& o) noexcept {
      if (this != &o) {
        release();
        m_ = std::exchange(o.m_, nullptr);
      }
      return *this;
    }
    ~Guard() { release(); }
    void release() {
      if (m_) std::exchange(m_, nullptr)->unlock();
    }
    explicit operator bool() const { return m_ != nullptr; }

   private:
    AsyncMutex* m_ = nullptr;
  };

  AsyncMutex() : ch_(executor(), 1) {}
  awaitable<Guard> lock() {
    co_await ch_.async_send(error_code{}, true, use_awaitable);
    co_return Guard(this);
  }
  // Takes the lock only if it is free and nobody waits for it.
  std::optional<Guard> try_lock() {
    if (ch_.try_send(error_code{}, true)) return Guard(this);
    return std::nullopt;
  }
  void unlock() {
    ch_.try_receive([](error_code, bool) {});
  }

 private:
  asio::experimental::concurrent_channel<void(error_code, bool)> ch_;
};

// A value behind an async mutex, shared by handle.
template <class T>
struct Locked {
  AsyncMutex mutex;
  T value{};
};

// One-shot channel. The sender answers at most once; a sender dropped unanswered makes the
// receiver see "dropped" (std::nullopt). A receiver that is gone is never waited for, and an
// answer stays with the channel until it is taken, so no race with a time-out can lose it.
template <class T>
class Oneshot {
  struct State {
    std::mutex m;
    bool answered = false;
    bool taken = false;
    std::optional<T> value;  // empty when answered by dropping
    Event ready;

    void answer(std::optional<T> v) {
      {
        std::lock_guard lk(m);
        if (answered) return;
        answered = true;
        value = std::move(v);
      }
      ready.notify_all();
    }
    std::optional<std::optional<T>> take() {
      std::lock_guard lk(m);
      if (!answered || taken) return std::nullopt;
      taken = true;
      return std::optional<std::optional<T>>(std::move(value));
    }
  };

 public:
  enum class Wait { Value, Dropped, TimedOut };

  class Sender {
   public:
    Sender() = default;
    explicit Sender(std::shared_ptr<State> s) : s_(std::move(s)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&& o) noexcept {
      if (this != &o) {
        drop();
        s_ = std::move(o.s_);
      }
      return *this;
    }
    ~Sender() { drop(); }
    void send(T value) {
      if (auto s = std::move(s_)) s->answer(std::optional<T>(std::move(value)));
    }
    // Drops the sender unanswered.
    void drop() {
      if (auto s = std::move(s_)) s->answer(std::nullopt);
    }
    bool valid() const { return s_ != nullptr; }

   private:
    std::shared_ptr<State> s_;
  };

  class Receiver {
   public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<State> s) : s_(std::move(s)) {}
    bool valid() const { return s_ != nullptr; }
    // The value, or nullopt when the sender was dropped unanswered.
    awaitable<std::optional<T>> receive() {
      auto s = s_;
      for (;;) {
        if (auto v = s->take()) co_return std::move(*v);
        co_await s->ready.wait();
      }
    }
    // Without waiting: nullopt if nothing has arrived yet; otherwise as receive().
    std::optional<std::optional<T>> try_receive() { return s_->take(); }
    bool answered() const {
      std::lock_guard lk(s_->m);
      return s_->answered;
    }
    // Waits until the answer (or the drop) is there, without taking it.
    awaitable<void> wait_answered() {
      auto s = s_;
      for (;;) {
        {
          std::lock_guard lk(s->m);
          if (s->answered) co_return;
        }
        co_await s->ready.wait();
      }
    }
    // Waits at most `limit`.
    awaitable<std::pair<Wait, std::optional<T>>> receive_for(std::chrono::steady_clock::duration limit) {
      auto s = s_;
      auto deadline = std::chrono::steady_clock::now() + limit;
      asio::steady_timer timer(co_await asio::this_coro::executor, deadline);
      for (;;) {
        if (auto v = s->take()) {
          if (*v) co_return std::pair{Wait::Value, std::move(*v)};
          co_return std::pair{Wait::Dropped, std::optional<T>()};
        }
        if (std::chrono::steady_clock::now() >= deadline) co_return std::pair{Wait::TimedOut, std::optional<T>()};
        co_await asio::experimental::make_parallel_group(s->ready.async_wait(deferred), timer.async_wait(deferred))
            .async_wait(asio::experimental::wait_for_one(), use_awaitable);
      }
    }

   private:
    std::shared_ptr<State> s_;
  };

  static std::pair<Sender, Receiver> make() {
    auto s = std::make_shared<State>();
    return {Sender(s), Receiver(s)};
  }
};

// Bounded first-in-first-out queue with counted senders and one receiver at a time.
// The queue is closed for the receiver once every sender is gone and the buffer is drained;
// closing the receiving side discards unread items and refuses later sends.
template <class T>
class Queue {
  struct State {
    explicit State(std::size_t c) : cap(c) {}
    std::mutex m;
    std::deque<T> buf;
    std::size_t cap;
    std::size_t senders = 0;
    bool rx_closed = false;
    // Who is asleep: an Event is signalled only when someone waits on it, which keeps the
    // common case (neither side waiting) free of cross-thread wake-ups.
    bool rx_waiting = false;
    std::size_t tx_waiting = 0;
    Event data;
    Event space;
  };

 public:
  enum class Try { Ok, Empty, Full, Closed };

  class Sender {
   public:
    Sender() = default;
    explicit Sender(std::shared_ptr<State> s) : s_(std::move(s)) { attach(); }
    Sender(const Sender& o) : s_(o.s_) { attach(); }
    Sender(Sender&& o) noexcept : s_(std::move(o.s_)) {}
    Sender& operator=(Sender o) noexcept {
      std::swap(s_, o.s_);
      return *this;
    }
    ~Sender() { reset(); }
    void reset() {
      if (auto s = std::move(s_)) {
        bool last;
        {
          std::lock_guard lk(s->m);
          last = --s->senders == 0;
        }
        if (last) s->data.notify();
      }
    }
    bool valid() const { return s_ != nullptr; }

    // Waits while the queue is full. False when the receiving side is closed (value dropped).
    awaitable<bool> send(T value) {
      auto s = s_;
      for (bool waited = false;; waited = true) {
        {
          std::unique_lock lk(s->m);
          if (waited) --s->tx_waiting;
          if (s->rx_closed) co_return false;
          if (s->buf.size() < s->cap) {
            s->buf.push_back(std::move(value));
            bool wake = s->rx_waiting;
            lk.unlock();
            if (wake) s->data.notify();
            co_return true;
          }
          ++s->tx_waiting;
        }
        try {
          co_await s->space.wait();
        } catch (...) {
          std::lock_guard lk(s->m);
          --s->tx_waiting;
          throw;
        }
      }
    }
    // Without waiting; on Full the value is left in `value`.
    Try try_send(T& value) {
      std::unique_lock lk(s_->m);
      if (s_->rx_closed) return Try::Closed;
      if (s_->buf.size() >= s_->cap) return Try::Full;
      s_->buf.push_back(std::move(value));
      bool wake = s_->rx_waiting;
      lk.unlock();
      if (wake) s_->data.notify();
      return Try::Ok;
    }

   private:
    void attach() {
      if (s_) {
        std::lock_guard lk(s_->m);
        ++s_->senders;
      }
    }
    std::shared_ptr<State> s_;
  };

  class Receiver {
   public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<State> s) : s_(std::move(s)) {}
    Receiver(Receiver&&) noexcept = default;
    Receiver& operator=(Receiver&& o) noexcept {
      if (this != &o) {
        close();
        s_ = std::move(o.s_);
      }
      return *this;
    }
    ~Receiver() { close(); }
    bool valid() const { return s_ != nullptr; }

    // The next item, or nullopt once the queue is closed and drained.
    awaitable<std::optional<T>> recv() {
      auto s = s_;
      for (;;) {
        if (!co_await wait_ready()) co_return std::nullopt;
        T item;
        if (take(*s, item) == Try::Ok) co_return std::optional<T>(std::move(item));
      }
    }
    // Ok (item stored in `out`), Empty, or Closed.
    Try try_recv(T& out) { return take(*s_, out); }

    // Waits until an item can be taken without waiting (true), or the queue is closed and
    // drained (false). Takes nothing. The receiver is marked asleep before the lock is let go,
    // so a sender that comes after it sees it and wakes it.
    awaitable<bool> wait_ready() {
      auto s = s_;
      for (;;) {
        {
          std::lock_guard lk(s->m);
          s->rx_waiting = false;
          if (!s->buf.empty()) co_return true;
          if (s->senders == 0 || s->rx_closed) co_return false;
          s->rx_waiting = true;
        }
        try {
          co_await s->data.wait();
        } catch (...) {
          std::lock_guard lk(s->m);
          s->rx_waiting = false;
          throw;
        }
      }
    }
    // True once the queue is closed and drained (what recv() reports as nullopt).
    bool finished() const {
      std::lock_guard lk(s_->m);
      return s_->buf.empty() && (s_->senders == 0 || s_->rx_closed);
    }
    // Calls f(front item) if there is one; returns whether there was.
    template <class F>
    bool peek(F&& f) {
      std::lock_guard lk(s_->m);
      if (s_->buf.empty()) return false;
      f(static_cast<const T&>(s_->buf.front()));
      return true;
    }

    // Discards unread items, refuses later sends, wakes every waiter.
    void close() {
      if (auto s = std::move(s_)) shut(*s);
    }

    // Closes the receiving side from elsewhere, while this receiver may be in use (a reader
    // waiting on it then sees the queue closed).
    class Closer {
     public:
      Closer() = default;
      void close() {
        if (auto s = s_.lock()) shut(*s);
      }

     private:
      friend class Receiver;
      explicit Closer(std::weak_ptr<State> s) : s_(std::move(s)) {}
      std::weak_ptr<State> s_;
    };
    Closer closer() const { return Closer(s_); }

   private:
    static void shut(State& s) {
      std::deque<T> dropped;
      {
        std::lock_guard lk(s.m);
        s.rx_closed = true;
        dropped.swap(s.buf);
      }
      s.space.notify_all();
      s.data.notify_all();
    }

    static Try take(State& s, T& out) {
      std::unique_lock lk(s.m);
      s.rx_waiting = false;
      if (!s.buf.empty()) {
        out = std::move(s.buf.front());
        s.buf.pop_front();
        bool wake = s.tx_waiting > 0;
        lk.unlock();
        if (wake) s.space.notify();
        return Try::Ok;
      }
      if (s.senders == 0 || s.rx_closed) return Try::Closed;
      return Try::Empty;
    }
    std::shared_ptr<State> s_;
  };

  static std::pair<Sender, Receiver> make(std::size_t capacity) {
    auto s = std::make_shared<State>(capacity);
    return {Sender(s), Receiver(s)};
  }
};

}  // namespace palisk::rt
