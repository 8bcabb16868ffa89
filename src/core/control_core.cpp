// The control protocol engine: line formats, the shared protocol state with its pending
// requests, and the two loops. Descriptor I/O runs on the blocking pool and waits in poll()
// together with a per-loop eventfd, so stop() can wake a loop without touching its descriptor;
// only the loop that owns a descriptor ever closes it.
#include "core/control_core.hpp"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <system_error>
#include <type_traits>

#include "core/quote.hpp"

namespace palisk::control {

using json = nlohmann::json;

namespace {

constexpr std::size_t kQueueCapacity = 256;
constexpr std::size_t kBufferSize = 8192;
// Serialising JSON recurses once per nesting level, on a worker's stack: an agent's line of a
// few megabytes of brackets must not be able to overflow it. Deeper text counts as not JSON.
constexpr int kMaxDepth = 128;

std::string dump(const json& v) { return v.dump(-1, ' ', false, json::error_handler_t::replace); }

bool within_depth(std::string_view s) {
  int depth = 0;
  bool in_string = false, escaped = false;
  for (char c : s) {
    if (in_string) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxDepth) return false;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return true;
}

// Strict JSON: one value, nothing after it; a leading byte-order mark is not JSON either
// (the parser would skip it silently).
std::optional<json> parse_json(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF" || !within_depth(text)) return std::nullopt;
  try {
    json v = json::parse(text.begin(), text.end(), nullptr, false);
    if (v.is_discarded()) return std::nullopt;
    return v;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

std::string line_for(std::string_view type, std::string_view request_id, std::string_view subtype,
                     std::string_view data) {
  json o = json::object();
  std::optional<json> payload = parse_json(data);
  o["data"] = payload ? std::move(*payload) : json(std::string(data));
  o["request_id"] = std::string(request_id);
  o["subtype"] = std::string(subtype);
  o["type"] = std::string(type);
  return dump(o);
}

// Decodes the code point starting at s[i] (valid UTF-8) and its length.
std::uint32_t decode_at(std::string_view s, std::size_t i, std::size_t& len) {
  auto b = static_cast<unsigned char>(s[i]);
  len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  std::uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return cp;
}

bool is_white_space(std::uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
         cp == 0x3000;
}

}  // namespace

// ---------------------------------------------------------------- lines

Classified classify_message(std::string_view line) {
  auto conversation = [&] { return Classified(std::in_place_index<1>, std::string(line)); };
  std::optional<json> v = parse_json(line);
  if (!v || !v->is_object()) return conversation();
  auto type = v->find("type");
  if (type == v->end() || !type->is_string() || type->get_ref<const std::string&>() != "control")
    return conversation();
  auto id = v->find("request_id");
  auto subtype = v->find("subtype");
  if (id == v->end() || !id->is_string() || subtype == v->end() || !subtype->is_string()) return conversation();
  auto data = v->find("data");
  return ControlMessageData{id->get<std::string>(), subtype->get<std::string>(),
                            data == v->end() ? std::string("{}") : dump(*data)};
}

std::string encode_payload(std::string_view data) {
  std::optional<json> v = parse_json(data);
  return dump(v ? *v : json(std::string(data)));
}

std::string request_line(std::string_view request_id, std::string_view subtype, std::string_view data) {
  return line_for("control", request_id, subtype, data);
}

std::string response_line(std::string_view request_id, std::string_view subtype, std::string_view data) {
  return line_for("control_response", request_id, subtype, data);
}

bool is_utf8(std::string_view s) {
  std::size_t i = 0, n = s.size();
  while (i < n) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    std::uint32_t min;
    if (b >= 0xC2 && b <= 0xDF) len = 2, min = 0x80;
    else if (b >= 0xE0 && b <= 0xEF) len = 3, min = 0x800;
    else if (b >= 0xF0 && b <= 0xF4) len = 4, min = 0x10000;
    else return false;
    if (n - i < len) return false;
    std::uint32_t cp = b & (0xFF >> (len + 1));
    for (std::size_t k = 1; k < len; ++k) {
      auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

std::string_view trim_whitespace(std::string_view s) {
  std::size_t len;
  while (!s.empty() && is_white_space(decode_at(s, 0, len))) s.remove_prefix(len);
  while (!s.empty()) {
    std::size_t start = s.size() - 1;
    while (start > 0 && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    if (!is_white_space(decode_at(s, start, len))) break;
    s.remove_suffix(s.size() - start);
  }
  return s;
}

// ---------------------------------------------------------------- descriptors

void UniqueFd::reset() {
  if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

Result<std::pair<UniqueFd, UniqueFd>> adopt_descriptors(std::int64_t stdin_fd, std::int64_t stdout_fd) {
  int in = static_cast<int>(static_cast<std::uint32_t>(stdin_fd));
  int out = static_cast<int>(static_cast<std::uint32_t>(stdout_fd));
  for (auto [fd, name] : {std::pair{in, "stdin_fd"}, std::pair{out, "stdout_fd"}}) {
    if (fd < 0 || ::fcntl(fd, F_GETFD) < 0) {
      int err = fd < 0 ? EBADF : errno;
      return transport_error(std::string("invalid ") + name + " " + std::to_string(fd) + ": " + os_error_text(err));
    }
  }
  if (in == out) {
    int dup = ::fcntl(in, F_DUPFD_CLOEXEC, 0);
    if (dup < 0) return transport_error("failed to duplicate stdin_fd: " + os_error_text(errno));
    in = dup;
  }
  return std::pair{UniqueFd(in), UniqueFd(out)};
}

// ---------------------------------------------------------------- request timeout

namespace {
std::atomic<std::chrono::steady_clock::rep> g_timeout{
    std::chrono::duration_cast<std::chrono::steady_clock::duration>(kDefaultRequestTimeout).count()};
}

void set_request_timeout(std::chrono::steady_clock::duration limit) { g_timeout.store(limit.count()); }
std::chrono::steady_clock::duration request_timeout() {
  return std::chrono::steady_clock::duration(g_timeout.load());
}

// ---------------------------------------------------------------- the engine

using Lines = rt::Queue<std::string>;

// The receiving end of the conversation queue, shared by recv_message() calls and closed by
// a later start(). Every access to the queue's receiver goes through `m_`, so a close never
// races with a take. Waiting and taking are separate steps: a waiter only learns that a line
// is there, and the line is taken by whoever can hand it over at once, so a wait that is
// abandoned never swallows a line.
class Conversation {
 public:
  explicit Conversation(Lines::Receiver rx) : rx_(std::move(rx)) {}

  rt::AsyncMutex turn;  // lines up waiting recv_message() calls

  Lines::Try try_take(std::string& out) {
    std::lock_guard lk(m_);
    if (closed_) return Lines::Try::Closed;
    Lines::Try r = rx_.try_recv(out);
    if (r == Lines::Try::Ok) --available_;
    return r;
  }

  // Returns once a line is queued or the queue has ended or was closed. Each wait has an Event
  // of its own, registered under `m_`: a wait that was cancelled leaves its Event unusable
  // (Asio 1.22's buffered channel refuses sends after a cancelled receive), and so never
  // affects a later wait.
  rt::awaitable<void> wait_available() {
    for (;;) {
      auto wake = std::make_shared<rt::Event>();
      {
        std::lock_guard lk(m_);
        if (closed_ || ended_ || available_ > 0) co_return;
        waiter_ = wake;
      }
      co_await wake->wait();
    }
  }

  // Discards unread lines, refuses later ones, releases a waiter.
  void close() {
    std::unique_lock lk(m_);
    if (closed_) return;
    closed_ = true;
    rx_.close();
    wake(lk);
  }
  // From the sending side, after each line queued and once when it is released.
  void pushed() {
    std::unique_lock lk(m_);
    ++available_;
    wake(lk);
  }
  void ended() {
    std::unique_lock lk(m_);
    ended_ = true;
    wake(lk);
  }

 private:
  // Wakes the waiter after letting go of `m_`, so that it never resumes under the lock.
  void wake(std::unique_lock<std::mutex>& lk) {
    std::shared_ptr<rt::Event> w = std::move(waiter_);
    lk.unlock();
    if (w) w->notify();
  }

  std::mutex m_;
  bool closed_ = false;
  bool ended_ = false;
  // Lines queued minus lines taken; briefly negative when a take overtakes the count.
  std::int64_t available_ = 0;
  Lines::Receiver rx_;
  std::shared_ptr<rt::Event> waiter_;
};

namespace {

// The read loop's sending end of the conversation queue; releasing it tells the receiving side.
class ConversationTx {
 public:
  ConversationTx(Lines::Sender tx, std::shared_ptr<Conversation> conv) : tx_(std::move(tx)), conv_(std::move(conv)) {}
  ConversationTx(ConversationTx&&) noexcept = default;
  ConversationTx& operator=(ConversationTx&&) = delete;
  ~ConversationTx() {
    if (conv_) {
      tx_.reset();
      conv_->ended();
    }
  }
  // False when the receiving end was closed: the line is dropped.
  rt::awaitable<bool> send(std::string line) {
    bool sent = co_await tx_.send(std::move(line));
    if (sent) conv_->pushed();
    co_return sent;
  }

 private:
  Lines::Sender tx_;
  std::shared_ptr<Conversation> conv_;
};

struct PendingRequest {
  rt::Oneshot<std::string>::Sender completion;  // carries the answer's payload text
};

// One running loop: stop() raises `stopping`, wakes a blocked poll() through the eventfd and
// cancels the coroutine's current wait on its strand.
struct Loop : std::enable_shared_from_this<Loop> {
  Loop() : strand(rt::new_strand()), wake_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~Loop() {
    if (wake_fd >= 0) ::close(wake_fd);
  }
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  void stop() {
    stopping.store(true);
    if (wake_fd >= 0) {
      std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(wake_fd, &one, sizeof one);
    }
    asio::post(strand, [self = shared_from_this()] {
      if (!self->finished.load()) self->signal.emit(asio::cancellation_type::terminal);
    });
  }
  rt::awaitable<void> wait_ended() {
    if (!finished.load()) co_await ended.wait();
  }

  rt::Strand strand;
  asio::cancellation_signal signal;  // emitted on the strand only
  std::atomic<bool> stopping{false};
  std::atomic<bool> finished{false};
  rt::Event ended;
  int wake_fd;  // -1 if no eventfd could be made: poll() then looks at `stopping` now and then
};

enum class Io { Ok, Eof, Failed, Stopped };

// Waits in poll() until `fd` is ready for `events` or the loop is stopped.
Io wait_ready(int fd, short events, const Loop& loop) {
  for (;;) {
    if (loop.stopping.load()) return Io::Stopped;
    pollfd p[2] = {{fd, events, 0}, {loop.wake_fd, POLLIN, 0}};
    int r = ::poll(p, loop.wake_fd >= 0 ? 2 : 1, loop.wake_fd >= 0 ? -1 : 100);
    if (loop.stopping.load()) return Io::Stopped;
    if (r < 0) {
      if (errno == EINTR) continue;
      return Io::Failed;
    }
    if (p[0].revents & POLLNVAL) return Io::Failed;
    if (p[0].revents) return Io::Ok;
  }
}

struct ReadResult {
  Io io = Io::Failed;
  std::size_t n = 0;
};

ReadResult blocking_read(int fd, char* buf, std::size_t cap, const Loop& loop) {
  for (;;) {
    if (Io w = wait_ready(fd, POLLIN, loop); w != Io::Ok) return {w, 0};
    ssize_t n = ::read(fd, buf, cap);
    if (n > 0) return {Io::Ok, static_cast<std::size_t>(n)};
    if (n == 0) return {Io::Eof, 0};
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return {Io::Failed, 0};
  }
}

// Writes everything; chunks of at most PIPE_BUF after each poll() cannot block on a pipe.
Io blocking_write(int fd, std::string_view data, const Loop& loop) {
  while (!data.empty()) {
    if (Io w = wait_ready(fd, POLLOUT, loop); w != Io::Ok) return w;
    ssize_t n = ::write(fd, data.data(), std::min<std::size_t>(data.size(), PIPE_BUF));
    if (n >= 0) data.remove_prefix(static_cast<std::size_t>(n));
    else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return Io::Failed;
  }
  return Io::Ok;
}

// Runs a blocking call on the pool and waits for it without being cancellable: stop() wakes the
// call through the eventfd instead, so the descriptor and buffers always outlive it. (A cancelled
// receive would also leave Asio 1.22's buffered channel refusing the value sent after it.) A
// stop() that came meanwhile is seen through `Loop::stopping`; a call that threw gives `failed`.
template <class F, class R = std::invoke_result_t<F&>>
rt::awaitable<R> on_pool(F fn, R failed) {
  auto [tx, rx] = rt::Oneshot<R>::make();
  auto call = [fn = std::move(fn), tx = std::make_shared<typename rt::Oneshot<R>::Sender>(std::move(tx))]() mutable {
    tx->send(fn());
  };
  rt::submit_blocking(std::move(call));
  co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
  std::optional<R> got = co_await rx.receive();
  co_await asio::this_coro::reset_cancellation_state(asio::enable_terminal_cancellation());
  co_return got.value_or(failed);
}

}  // namespace

struct ProtocolInner {
  std::map<std::string, std::shared_ptr<PendingRequest>> pending;
  std::optional<Lines::Sender> writer;
  std::shared_ptr<Conversation> receiver;
  std::uint64_t next_request = 1;
  bool running = false;
};

struct Protocol {
  rt::Locked<ProtocolInner> state;
  rt::Locked<std::shared_ptr<Loop>> read_loop;
  rt::Locked<std::shared_ptr<Loop>> write_loop;
};

std::shared_ptr<Protocol> make_protocol() { return std::make_shared<Protocol>(); }

namespace {

template <class MakeLoop>
std::shared_ptr<Loop> spawn_loop(MakeLoop make) {
  auto loop = std::make_shared<Loop>();
  asio::co_spawn(loop->strand, make(loop),
                 asio::bind_cancellation_slot(loop->signal.slot(),
                                              asio::bind_executor(loop->strand, [loop](std::exception_ptr) {
                                                loop->finished.store(true);
                                                loop->ended.notify_all();
                                              })));
  return loop;
}

rt::awaitable<void> write_loop(UniqueFd fd, Lines::Receiver rx, std::shared_ptr<Loop> loop) {
  auto buf = std::make_shared<std::string>();
  buf->reserve(kBufferSize);
  try {
    while (!loop->stopping.load()) {
      std::optional<std::string> line = co_await rx.recv();
      if (!line) break;
      buf->assign(*line);
      buf->push_back('\n');
      // Named: g++ 12 destroys a capturing lambda twice when it is a temporary of a co_await.
      auto write = [fd = fd.get(), buf, loop] { return blocking_write(fd, *buf, *loop); };
      Io io = co_await on_pool(std::move(write), Io::Failed);
      if (io != Io::Ok) break;
    }
  } catch (const std::exception&) {
    // Cancelled by stop() while waiting for a line.
  }
  // Closing the receiver first makes every later send fail at once; then the descriptor.
  rx = Lines::Receiver();
  fd.reset();
}

// Handles one line; false ends the loop.
rt::awaitable<bool> handle_line(std::string_view raw, Protocol& p, ConversationTx& tx) {
  if (!is_utf8(raw)) co_return false;
  std::string_view line = trim_whitespace(raw);
  if (line.empty()) co_return true;
  Classified c = classify_message(line);
  if (auto* text = std::get_if<1>(&c)) {
    co_await tx.send(std::move(*text));  // refused once a later start() closed the queue: dropped
    co_return true;
  }
  auto& msg = std::get<0>(c);
  auto guard = co_await p.state.mutex.lock();
  auto& pending = p.state.value.pending;
  if (auto it = pending.find(msg.request_id); it != pending.end()) {
    auto entry = std::move(it->second);
    pending.erase(it);
    entry->completion.send(std::move(msg.data));
  }
  co_return true;
}

rt::awaitable<void> read_loop(UniqueFd fd, std::shared_ptr<Protocol> p, ConversationTx tx,
                              std::shared_ptr<Loop> loop) {
  auto buf = std::make_shared<std::array<char, kBufferSize>>();
  std::string data;
  std::size_t scanned = 0;
  try {
    for (bool more = true; more && !loop->stopping.load();) {
      auto read = [fd = fd.get(), buf, loop] { return blocking_read(fd, buf->data(), buf->size(), *loop); };
      ReadResult r = co_await on_pool(std::move(read), ReadResult{Io::Failed, 0});
      if (loop->stopping.load()) break;
      if (r.io == Io::Ok) {
        data.append(buf->data(), r.n);
      } else if (r.io == Io::Eof) {
        more = false;
        if (!data.empty()) data.push_back('\n');  // the last, unterminated line
      } else {
        break;
      }
      std::size_t begin = 0;
      for (std::size_t nl; (nl = data.find('\n', scanned)) != std::string::npos; begin = scanned = nl + 1) {
        std::string_view line(data.data() + begin, nl - begin);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!co_await handle_line(line, *p, tx)) {
          more = false;
          break;
        }
      }
      data.erase(0, begin);
      scanned = data.size();
    }
  } catch (const std::exception&) {
    // Cancelled by stop() while waiting for room in the conversation queue or for the lock.
  }
  fd.reset();
}

// Withdraws a request's entry unless it was answered (or replaced) in the meantime.
rt::awaitable<void> withdraw(std::shared_ptr<Protocol> p, std::string id, std::shared_ptr<PendingRequest> entry) {
  auto guard = co_await p->state.mutex.lock();
  auto& pending = p->state.value.pending;
  if (auto it = pending.find(id); it != pending.end() && it->second == entry) pending.erase(it);
}

// Withdraws the entry of a request whose caller went away (cancelled) before its answer.
struct WithdrawOnExit {
  std::shared_ptr<Protocol> p;
  std::string id;
  std::shared_ptr<PendingRequest> entry;
  ~WithdrawOnExit() {
    if (entry) rt::spawn_detached(withdraw(std::move(p), std::move(id), std::move(entry)));
  }
};

}  // namespace

rt::awaitable<void> start(std::shared_ptr<Protocol> p, UniqueFd stdin_fd, UniqueFd stdout_fd) {
  // Runs to its end even if the caller stops waiting: loops whose handles were never stored
  // could not be stopped.
  co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
  auto [out_tx, out_rx] = Lines::make(kQueueCapacity);
  auto [conv_tx, conv_rx] = Lines::make(kQueueCapacity);
  auto conv = std::make_shared<Conversation>(std::move(conv_rx));
  std::shared_ptr<Conversation> earlier;
  {
    auto guard = co_await p->state.mutex.lock();
    auto& st = p->state.value;
    st.writer = std::move(out_tx);
    earlier = std::exchange(st.receiver, conv);
    st.running = true;
  }
  if (earlier) earlier->close();
  auto writer = spawn_loop([&](std::shared_ptr<Loop> loop) {
    return write_loop(std::move(stdin_fd), std::move(out_rx), std::move(loop));
  });
  auto reader = spawn_loop([&](std::shared_ptr<Loop> loop) {
    return read_loop(std::move(stdout_fd), p, ConversationTx(std::move(conv_tx), conv), std::move(loop));
  });
  {
    auto guard = co_await p->read_loop.mutex.lock();
    p->read_loop.value = std::move(reader);
  }
  {
    auto guard = co_await p->write_loop.mutex.lock();
    p->write_loop.value = std::move(writer);
  }
}

rt::awaitable<void> stop(std::shared_ptr<Protocol> p) {
  // As start(): a handle taken out of its slot must not be dropped with its loop still running.
  co_await asio::this_coro::reset_cancellation_state(asio::disable_cancellation());
  {
    auto guard = co_await p->state.mutex.lock();
    p->state.value.running = false;
    p->state.value.writer.reset();
  }
  for (auto* slot : {&p->read_loop, &p->write_loop}) {
    std::shared_ptr<Loop> loop;
    {
      auto guard = co_await slot->mutex.lock();
      loop = std::move(slot->value);
    }
    if (loop) {
      loop->stop();
      co_await loop->wait_ended();
    }
  }
}

rt::awaitable<bool> is_running(std::shared_ptr<Protocol> p) {
  auto guard = co_await p->state.mutex.lock();
  co_return p->state.value.running;
}

std::optional<bool> try_is_running(Protocol& p) {
  auto guard = p.state.mutex.try_lock();
  if (!guard) return std::nullopt;
  return p.state.value.running;
}

namespace {

std::optional<std::optional<std::string>> take_from(Conversation& conv) {
  std::string line;
  switch (conv.try_take(line)) {
    case Lines::Try::Ok:
      return std::optional<std::string>(std::move(line));
    case Lines::Try::Closed:
      return std::optional<std::string>();
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<std::optional<std::string>> try_recv_message(Protocol& p) {
  std::shared_ptr<Conversation> conv;
  {
    auto guard = p.state.mutex.try_lock();
    if (!guard) return std::nullopt;
    conv = p.state.value.receiver;
  }
  if (!conv) return std::optional<std::string>();
  // Not ahead of calls that are already waiting.
  auto turn = conv->turn.try_lock();
  if (!turn) return std::nullopt;
  return take_from(*conv);
}

rt::awaitable<std::shared_ptr<Conversation>> wait_message(std::shared_ptr<Protocol> p) {
  std::shared_ptr<Conversation> conv;
  {
    auto guard = co_await p->state.mutex.lock();
    conv = p->state.value.receiver;
  }
  if (!conv) co_return nullptr;
  auto turn = co_await conv->turn.lock();
  co_await conv->wait_available();
  co_return conv;
}

std::optional<std::optional<std::string>> take_message(Conversation* conv) {
  if (!conv) return std::optional<std::string>();
  return take_from(*conv);
}

rt::awaitable<Result<std::string>> send_control_request(std::shared_ptr<Protocol> p, std::string subtype,
                                                        std::string data) {
  std::string id;
  Lines::Sender tx;
  rt::Oneshot<std::string>::Receiver answer;
  std::shared_ptr<PendingRequest> entry;
  {
    auto guard = co_await p->state.mutex.lock();
    auto& st = p->state.value;
    id = "sdk_" + std::to_string(st.next_request++);
    if (!st.writer) co_return protocol_error("control protocol not started");
    tx = *st.writer;
    auto [completion, rx] = rt::Oneshot<std::string>::make();
    entry = std::make_shared<PendingRequest>(PendingRequest{std::move(completion)});
    answer = std::move(rx);
    st.pending.insert_or_assign(id, entry);
  }
  // Armed until the entry is answered or withdrawn; withdrawing twice is harmless.
  WithdrawOnExit on_cancel{p, id, entry};
  bool queued = co_await tx.send(request_line(id, subtype, data));
  tx.reset();
  if (!queued) {
    co_await withdraw(p, id, entry);
    on_cancel.entry.reset();
    co_return protocol_error("failed to send control request");
  }
  auto [how, value] = co_await answer.receive_for(request_timeout());
  if (how == rt::Oneshot<std::string>::Wait::Value) {
    on_cancel.entry.reset();
    co_return std::move(*value);
  }
  // Timed out: an answer that comes now finds no entry and is dropped like any unknown id.
  co_await withdraw(p, id, entry);
  on_cancel.entry.reset();
  co_return PaliskError(ErrorKind::Timeout, "control request " + quote(id) + " timed out");
}

rt::awaitable<Status<>> send_control_response(std::shared_ptr<Protocol> p, std::string request_id,
                                              std::string subtype, std::string data) {
  Lines::Sender tx;
  {
    auto guard = co_await p->state.mutex.lock();
    if (!p->state.value.writer) co_return protocol_error("control protocol not started");
    tx = *p->state.value.writer;
  }
  if (!co_await tx.send(response_line(request_id, subtype, data)))
    co_return protocol_error("failed to send control response");
  co_return ok();
}

}  // namespace palisk::control
