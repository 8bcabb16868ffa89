// The shared runtime: created lazily, never shut down. Everything here is heap-allocated and
// never freed, so worker threads that are still running while the process exits never touch a
// destroyed object.
#include "core/runtime.hpp"

#include <condition_variable>
#include <thread>
#include <vector>

namespace palisk::rt {

namespace {

thread_local bool tl_runtime_thread = false;

struct Runtime {
  asio::io_context ctx;
  asio::executor_work_guard<Executor> work{ctx.get_executor()};

  Runtime() {
    unsigned n = std::thread::hardware_concurrency();
    if (n == 0) n = 1;
    for (unsigned i = 0; i < n; ++i) {
      std::thread([this] {
        tl_runtime_thread = true;
        for (;;) {
          try {
            ctx.run();
            return;
          } catch (...) {
            // A handler threw: keep the worker alive.
          }
        }
      }).detach();
    }
  }
};

Runtime& runtime() {
  static Runtime* rt = new Runtime();  // intentionally never destroyed
  return *rt;
}

// Threads for blocking calls. A task goes to an idle thread if there is one; otherwise a new
// thread is started, so a call that blocks indefinitely (a read on a quiet pipe) never delays
// another. Idle threads exit after a while.
class BlockingPool {
 public:
  void submit(std::function<void()> fn) {
    std::unique_lock lk(m_);
    tasks_.push_back(std::move(fn));
    // Each queued task needs a thread of its own: wake an idle one only if there are enough.
    if (idle_ >= tasks_.size()) {
      cv_.notify_one();
      return;
    }
    ++threads_;
    lk.unlock();
    std::thread([this] { worker(); }).detach();
  }

 private:
  void worker() {
    tl_runtime_thread = true;
    std::unique_lock lk(m_);
    for (;;) {
      while (tasks_.empty()) {
        ++idle_;
        bool woke = cv_.wait_for(lk, std::chrono::seconds(10), [&] { return !tasks_.empty(); });
        --idle_;
        if (!woke) {
          --threads_;
          return;
        }
      }
      auto fn = std::move(tasks_.front());
      tasks_.pop_front();
      lk.unlock();
      try {
        fn();
      } catch (...) {
      }
      fn = nullptr;
      lk.lock();
    }
  }

  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> tasks_;
  std::size_t idle_ = 0;
  std::size_t threads_ = 0;
};

BlockingPool& pool() {
  static BlockingPool* p = new BlockingPool();  // intentionally never destroyed
  return *p;
}

}  // namespace

asio::io_context& io() { return runtime().ctx; }
Strand new_strand() { return asio::make_strand(io()); }
bool on_runtime_thread() { return tl_runtime_thread; }
void submit_blocking(std::function<void()> fn) { pool().submit(std::move(fn)); }

}  // namespace palisk::rt
