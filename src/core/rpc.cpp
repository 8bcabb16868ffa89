// The JSON-RPC channel: line framing on the agent's pipes, decoding of incoming lines, the
// pending-call table, strictly ordered dispatch to the handlers, the single writer, and the rule
// that the first activity to finish stops everything.
#include "core/rpc.hpp"

#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>

namespace palisk::rpc {

namespace {

constexpr std::size_t kReadBuffer = 8192;
// Deeper than any protocol message needs, shallow enough that the recursive copies and dumps of
// nlohmann::json stay far from the stack limit whatever an agent sends.
constexpr int kMaxNesting = 256;

using Reply = Result<Json, RpcError>;
using ReplySlot = rt::Oneshot<Reply>;

RpcError plain(std::string message) { return RpcError{-32000, std::move(message), std::nullopt}; }
RpcError receiver_gone() { return plain("send failed because receiver is gone"); }
RpcError internal(std::string what) { return RpcError::from_code(code::internal_error, Json(std::move(what))); }

std::string dump_lossy(const Json& j, int indent) { return j.dump(indent, ' ', false, Json::error_handler_t::replace); }

bool valid_utf8(std::string_view s) {
  auto p = reinterpret_cast<const unsigned char*>(s.data());
  const auto* end = p + s.size();
  while (p < end) {
    unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int n;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
      n = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      n = 2;
      if (c == 0xE0) lo = 0xA0;  // overlong
      if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      n = 3;
      if (c == 0xF0) lo = 0x90;  // overlong
      if (c == 0xF4) hi = 0x8F;  // beyond U+10FFFF
    } else {
      return false;
    }
    if (end - p <= n) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i <= n; ++i)
      if ((p[i] & 0xC0) != 0x80) return false;
    p += n + 1;
  }
  return true;
}

// ---- a light scanner over a line that nlohmann has already accepted as one JSON object ----

bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skip_ws(std::string_view s, std::size_t i) {
  while (i < s.size() && is_ws(s[i])) ++i;
  return i;
}

// `i` at an opening quote; returns the index after the closing quote.
std::size_t skip_string(std::string_view s, std::size_t i) {
  for (++i; i < s.size(); ++i) {
    if (s[i] == '\\') {
      ++i;
    } else if (s[i] == '"') {
      return i + 1;
    }
  }
  return s.size();
}

std::size_t skip_value(std::string_view s, std::size_t i) {
  if (i >= s.size()) return i;
  if (s[i] == '"') return skip_string(s, i);
  if (s[i] == '{' || s[i] == '[') {
    int depth = 0;
    while (i < s.size()) {
      char c = s[i];
      if (c == '"') {
        i = skip_string(s, i);
        continue;
      }
      if (c == '{' || c == '[') ++depth;
      if ((c == '}' || c == ']') && --depth == 0) return i + 1;
      ++i;
    }
    return i;
  }
  while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ']' && !is_ws(s[i])) ++i;
  return i;
}

bool nesting_within(std::string_view s, int limit) {
  int depth = 0;
  for (std::size_t i = 0; i < s.size();) {
    char c = s[i];
    if (c == '"') {
      i = skip_string(s, i);
      continue;
    }
    if ((c == '{' || c == '[') && ++depth > limit) return false;
    if (c == '}' || c == ']') --depth;
    ++i;
  }
  return true;
}

// The text of the value of the top-level member `name` as it appears on the line (the last one
// wins, as in the parsed value). Keys written with escapes are decoded before comparing.
std::string member_text(std::string_view s, std::string_view name) {
  std::string_view found;
  std::size_t i = skip_ws(s, 0);
  if (i >= s.size() || s[i] != '{') return {};
  i = skip_ws(s, i + 1);
  while (i < s.size() && s[i] == '"') {
    std::size_t ks = i;
    i = skip_string(s, i);
    std::string_view key = s.substr(ks, i - ks);
    i = skip_ws(s, i);
    if (i < s.size() && s[i] == ':') ++i;
    i = skip_ws(s, i);
    std::size_t vs = i;
    i = skip_value(s, i);
    bool match;
    if (key.find('\\') == std::string_view::npos) {
      match = key.size() == name.size() + 2 && key.substr(1, name.size()) == name;
    } else {
      Json k = Json::parse(key, nullptr, false);
      match = k.is_string() && k.get_ref<const std::string&>() == name;
    }
    if (match) found = s.substr(vs, i - vs);
    i = skip_ws(s, i);
    if (i < s.size() && s[i] == ',') i = skip_ws(s, i + 1);
  }
  return std::string(found);
}

// ---- decoding ----

struct Call {
  std::string method;
  Json params;
  std::string raw_params;
  std::optional<RpcId> id;
};
struct Answer {
  std::optional<Json> id;
  std::optional<Json> result;
  std::optional<RpcError> error;
};
struct Garbage {};
// The end of the agent's output (ok) or a read failure, queued behind the lines read before it.
struct End {
  Status<RpcError> why;
};
using Incoming = std::variant<Call, Answer, Garbage, End>;

// Absent and null both count as absent.
bool optional_string(const Json& o, const char* key) {
  auto it = o.find(key);
  return it == o.end() || it->is_null() || it->is_string();
}

bool to_id(const Json& v, RpcId& out) {
  if (v.is_null()) {
    out.value = std::monostate{};
  } else if (v.is_number_unsigned()) {
    out.value = v.get<std::uint64_t>();
  } else if (v.is_string()) {
    out.value = v.get<std::string>();
  } else {
    return false;
  }
  return true;
}

std::optional<Call> as_call(Json& j, std::string_view line) {
  auto m = j.find("method");
  if (m == j.end() || !m->is_string()) return std::nullopt;
  if (!optional_string(j, "jsonrpc") || !optional_string(j, "version")) return std::nullopt;
  Call c;
  if (auto p = j.find("params"); p != j.end() && !p->is_null()) {
    if (!p->is_object() && !p->is_array()) return std::nullopt;
    c.params = std::move(*p);
    c.raw_params = member_text(line, "params");
  }
  if (auto id = j.find("id"); id != j.end()) {
    RpcId rid;
    if (!to_id(*id, rid)) return std::nullopt;
    c.id = std::move(rid);
  }
  c.method = m->get<std::string>();
  return c;
}

bool to_error(const Json& e, RpcError& out) {
  if (!e.is_object()) return false;
  auto code = e.find("code");
  auto message = e.find("message");
  if (code == e.end() || message == e.end() || !message->is_string()) return false;
  if (code->is_number_unsigned()) {
    if (code->get<std::uint64_t>() > static_cast<std::uint64_t>(INT32_MAX)) return false;
  } else if (code->is_number_integer()) {
    auto v = code->get<std::int64_t>();
    if (v < INT32_MIN || v > INT32_MAX) return false;
  } else {
    return false;
  }
  out.code = static_cast<std::int32_t>(code->get<std::int64_t>());
  out.message = message->get<std::string>();
  if (auto d = e.find("data"); d != e.end()) out.data = *d;
  return true;
}

std::optional<Answer> as_answer(Json& j) {
  if (!optional_string(j, "jsonrpc") || !optional_string(j, "version")) return std::nullopt;
  Answer a;
  if (auto r = j.find("result"); r != j.end()) a.result = std::move(*r);
  if (auto e = j.find("error"); e != j.end() && !e->is_null()) {
    RpcError err;
    if (!to_error(*e, err)) return std::nullopt;
    a.error = std::move(err);
  }
  if (auto id = j.find("id"); id != j.end()) {
    RpcId rid;
    if (!to_id(*id, rid)) return std::nullopt;
    a.id = std::move(*id);
  }
  return a;
}

Incoming decode(std::string_view line) {
  if (!nesting_within(line, kMaxNesting)) return Garbage{};
  Json j = Json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) return Garbage{};
  if (auto c = as_call(j, line)) return std::move(*c);
  if (auto a = as_answer(j)) return std::move(*a);
  return Garbage{};
}

// ---- encoding ----

std::string error_object(const RpcError& e) {
  std::string s = "{\"code\":" + std::to_string(e.code) + ",\"message\":" + dump(Json(e.message));
  if (e.data) s += ",\"data\":" + dump(*e.data);
  return s + "}";
}

std::string error_line(const RpcError& e, const std::optional<RpcId>& id) {
  std::string s = "{\"jsonrpc\":\"2.0\",\"error\":" + error_object(e);
  if (id) s += ",\"id\":" + dump(id->to_json());
  return s + "}";
}

std::string call_line(const std::string& method, const Json& params, const std::string* id) {
  std::string s = "{\"jsonrpc\":\"2.0\",\"method\":" + dump(Json(method));
  // Scalars are not written, but one that is not valid JSON fails the message all the same.
  std::string p = dump(params);
  if (params.is_object() || params.is_array()) s += ",\"params\":" + p;
  if (id) s += ",\"id\":" + dump(Json(*id));
  return s + "}";
}

std::string new_uuid() {
  thread_local std::mt19937_64 gen = [] {
    std::random_device rd;
    std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
    return std::mt19937_64(seq);
  }();
  std::uint64_t hi = gen(), lo = gen();
  hi = (hi & ~0xF000ULL) | 0x4000ULL;               // version 4
  lo = (lo & ~(3ULL << 62)) | (2ULL << 62);         // RFC 4122 variant
  char buf[37];
  std::snprintf(buf, sizeof buf, "%08x-%04x-%04x-%04x-%012llx", static_cast<unsigned>(hi >> 32),
                static_cast<unsigned>((hi >> 16) & 0xFFFF), static_cast<unsigned>(hi & 0xFFFF),
                static_cast<unsigned>(lo >> 48), static_cast<unsigned long long>(lo & 0xFFFFFFFFFFFFULL));
  return buf;
}

}  // namespace

// ---- shared state ----

// The outgoing line queue: unbounded, written in order by the single writer, closed for good
// when the channel stops (queued lines are dropped then).
struct Responder::Out {
  std::mutex m;
  std::deque<std::string> lines;
  bool closed = false;
  rt::Event ready;

  bool push(std::string line) {
    line.push_back('\n');
    {
      std::lock_guard lk(m);
      if (closed) return false;
      lines.push_back(std::move(line));
    }
    ready.notify();
    return true;
  }
  void close() {
    std::deque<std::string> dropped;
    {
      std::lock_guard lk(m);
      closed = true;
      dropped.swap(lines);
    }
    ready.notify();
  }
};

struct Connection::State {
  std::shared_ptr<Responder::Out> out = std::make_shared<Responder::Out>();
  std::mutex m;
  // Our ids are always strings, so an incoming id of any other type never matches an entry.
  std::map<std::string, ReplySlot::Sender> pending;
  bool stopped = false;
  std::optional<Status<RpcError>> outcome;

  bool enter(const std::string& id, ReplySlot::Sender tx) {
    std::lock_guard lk(m);
    if (stopped) return false;
    pending.emplace(id, std::move(tx));
    return true;
  }
  std::optional<ReplySlot::Sender> take(const std::string& id) {
    std::lock_guard lk(m);
    auto it = pending.find(id);
    if (it == pending.end()) return std::nullopt;
    auto tx = std::move(it->second);
    pending.erase(it);
    return tx;
  }
  // The first call decides the outcome; every caller still waiting is failed at once and the
  // outgoing side refuses further lines.
  void stop(Status<RpcError> why) {
    std::map<std::string, ReplySlot::Sender> dropped;
    {
      std::lock_guard lk(m);
      if (stopped) return;
      stopped = true;
      outcome.emplace(std::move(why));
      dropped.swap(pending);
    }
    out->close();
  }
};

// One activity of the channel as an operation of a parallel group. Carrying its strand as the
// associated executor makes the group deliver cancellation on that strand rather than on
// whichever thread finished first (cancellation slots are not thread-safe).
struct OnStrand {
  rt::Strand strand;
  rt::awaitable<void> work;

  using executor_type = rt::Strand;
  executor_type get_executor() const noexcept { return strand; }
  template <class Token>
  auto operator()(Token&& token) && {
    return asio::co_spawn(strand, std::move(work), std::forward<Token>(token));
  }
};

class Channel {
 public:
  using State = Connection::State;
  using IncomingQueue = rt::Queue<Incoming>;

  static rt::awaitable<void> finishing(std::shared_ptr<State> st, rt::awaitable<Status<RpcError>> work) {
    std::optional<Status<RpcError>> r;
    try {
      r.emplace(co_await std::move(work));
    } catch (const std::exception& e) {
      r.emplace(internal(std::string("channel task failed: ") + e.what()));
    } catch (...) {
      r.emplace(internal("channel task failed"));
    }
    st->stop(std::move(*r));
  }

  static rt::awaitable<Status<RpcError>> main(MainWork work, std::shared_ptr<State> st) {
    co_return co_await work(Connection(std::move(st)));
  }

  static rt::awaitable<Status<RpcError>> write_loop(std::shared_ptr<State> st, Pipe pipe) {
    auto out = st->out;
    for (;;) {
      std::optional<std::string> line;
      {
        std::lock_guard lk(out->m);
        if (out->closed) co_return ok();
        if (!out->lines.empty()) {
          line = std::move(out->lines.front());
          out->lines.pop_front();
        }
      }
      if (!line) {
        co_await out->ready.wait();
        continue;
      }
      auto [ec, n] = co_await asio::async_write(pipe, asio::buffer(*line), rt::as_tuple(rt::use_awaitable));
      if (ec) co_return internal("failed to write to the agent: " + ec.message());
      if (n != line->size()) co_return internal("failed to write to the agent: zero-length write");
    }
  }

  static rt::awaitable<Status<RpcError>> read_loop(Pipe pipe, IncomingQueue::Sender tx) {
    std::vector<char> chunk(kReadBuffer);
    std::string partial;
    std::optional<Status<RpcError>> end;
    // A line that is not UTF-8 ends reading; the lines before it are still handled.
    auto deliver = [&](std::string_view line) {
      if (!valid_utf8(line)) {
        end.emplace(internal("agent output is not valid UTF-8"));
        return;
      }
      Incoming item = decode(line);
      tx.try_send(item);
    };
    while (!end) {
      auto [ec, n] = co_await pipe.async_read_some(asio::buffer(chunk), rt::as_tuple(rt::use_awaitable));
      std::string_view got(chunk.data(), n);
      while (!end && !got.empty()) {
        auto nl = got.find('\n');
        if (nl == std::string_view::npos) {
          partial.append(got);
          break;
        }
        partial.append(got.substr(0, nl));
        got.remove_prefix(nl + 1);
        if (!partial.empty() && partial.back() == '\r') partial.pop_back();
        deliver(partial);
        partial.clear();
      }
      if (end) break;
      if (ec == asio::error::eof) {
        if (!partial.empty()) deliver(partial);
        if (!end) end.emplace(ok());
      } else if (ec) {
        end.emplace(internal("failed to read from the agent: " + ec.message()));
      }
    }
    Incoming last = End{std::move(*end)};
    tx.try_send(last);
    // The dispatcher ends the channel when it reaches the end marker; until then stay put.
    asio::steady_timer never(co_await asio::this_coro::executor, asio::steady_timer::time_point::max());
    co_await never.async_wait(rt::use_awaitable);
    co_return ok();
  }

  static rt::awaitable<Status<RpcError>> dispatch_loop(std::shared_ptr<State> st, IncomingQueue::Receiver rx,
                                                       std::vector<std::shared_ptr<Handler>> handlers) {
    for (;;) {
      auto item = co_await rx.recv();
      if (!item) co_return ok();
      if (auto* end = std::get_if<End>(&*item)) co_return std::move(end->why);
      if (std::holds_alternative<Garbage>(*item)) {
        st->out->push(error_line(RpcError::from_code(code::parse_error), std::nullopt));
      } else if (auto* a = std::get_if<Answer>(&*item)) {
        deliver(*st, std::move(*a));
      } else {
        auto& c = std::get<Call>(*item);
        bool is_request = c.id.has_value();
        std::shared_ptr<Handler> chosen;
        for (auto& h : handlers) {
          if (h && h->claims(c.method, is_request)) {
            chosen = h;
            break;
          }
        }
        if (!chosen) {
          st->out->push(error_line(RpcError::from_code(code::method_not_found), c.id));
          continue;
        }
        std::optional<Responder> responder;
        if (is_request) responder.emplace(Responder(std::move(*c.id), st->out));
        auto r = co_await chosen->handle(std::move(c.method), std::move(c.params), std::move(c.raw_params),
                                         std::move(responder));
        if (!r) co_return std::move(r).error();
      }
    }
  }

  static rt::awaitable<Status<RpcError>> run(Pipe to_agent, Pipe from_agent,
                                             std::vector<std::shared_ptr<Handler>> handlers, MainWork main_work) {
    auto st = std::make_shared<State>();
    auto [tx, rx] = IncomingQueue::make(SIZE_MAX);
    // Each activity runs on its own strand and records its outcome through stop(); the group
    // then cancels the others. The pipes belong to the reader and the writer and close as they
    // end, so the agent sees the end of its input as soon as the writer is gone.
    // Built outside the co_await: gcc 12 mishandles aggregate temporaries inside one.
    auto group = asio::experimental::make_parallel_group(
        OnStrand{rt::new_strand(), finishing(st, main(std::move(main_work), st))},
        OnStrand{rt::new_strand(), finishing(st, read_loop(std::move(from_agent), std::move(tx)))},
        OnStrand{rt::new_strand(), finishing(st, dispatch_loop(st, std::move(rx), std::move(handlers)))},
        OnStrand{rt::new_strand(), finishing(st, write_loop(st, std::move(to_agent)))});
    co_await group.async_wait(asio::experimental::wait_for_one(), rt::use_awaitable);
    co_return std::move(*st->outcome);
  }

  static void deliver(State& st, Answer a) {
    if (!a.id || !a.id->is_string()) return;
    auto tx = st.take(a.id->get<std::string>());
    if (!tx) return;
    if (a.result) {
      tx->send(Reply(std::move(*a.result)));
    } else if (a.error) {
      tx->send(Reply(std::move(*a.error)));
    } else {
      tx->send(Reply(RpcError::from_code(code::internal_error)));
    }
  }
};

// ---- public surface ----

RpcError RpcError::from_code(std::int32_t c, std::optional<Json> data) {
  const char* text;
  switch (c) {
    case code::parse_error: text = "Parse error"; break;
    case code::invalid_request: text = "Invalid request"; break;
    case code::method_not_found: text = "Method not found"; break;
    case code::invalid_params: text = "Invalid params"; break;
    case code::internal_error: text = "Internal error"; break;
    case code::request_cancelled: text = "Request cancelled"; break;
    case code::auth_required: text = "Authentication required"; break;
    case code::resource_not_found: text = "Resource not found"; break;
    default: text = "Unknown error"; break;
  }
  return RpcError{c, text, std::move(data)};
}

std::string RpcError::display() const {
  std::string s = message.empty() ? std::to_string(code) : message;
  if (data) s += ": " + dump_lossy(*data, 2);
  return s;
}

Json RpcId::to_json() const {
  if (auto* n = std::get_if<std::uint64_t>(&value)) return Json(*n);
  if (auto* s = std::get_if<std::string>(&value)) return Json(*s);
  return Json(nullptr);
}

std::string dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::strict); }

Status<RpcError> Responder::respond(Result<Json, RpcError> answer) {
  if (!out_) return receiver_gone();
  std::string line;
  try {
    line = answer.ok()
               ? "{\"jsonrpc\":\"2.0\",\"result\":" + dump(answer.value()) + ",\"id\":" + dump(id_.to_json()) + "}"
               : error_line(answer.error(), id_);
  } catch (const Json::exception&) {
    line = error_line(RpcError::from_code(code::internal_error), id_);
  }
  if (!out_->push(std::move(line))) return receiver_gone();
  return ok();
}

rt::awaitable<Result<Json, RpcError>> Connection::request(std::string method, Json params) {
  auto st = s_;
  std::string id = new_uuid();
  std::string line;
  try {
    line = call_line(method, params, &id);
  } catch (const Json::exception&) {
    co_return Reply(plain("failed to create untyped request for `" + method));
  }
  auto [tx, rx] = ReplySlot::make();
  if (!st->enter(id, std::move(tx))) co_return Reply(plain("failed to send outgoing request `" + method));
  // However this coroutine ends (answered, failed, or cancelled while waiting), its entry goes.
  struct Forget {
    State& st;
    const std::string& id;
    ~Forget() { st.take(id); }
  } forget{*st, id};
  if (!st->out->push(std::move(line))) co_return Reply(plain("failed to send outgoing request `" + method));
  auto reply = co_await rx.receive();
  if (!reply) {
    std::string why = "response to `" + method + "` never received: oneshot canceled";
    co_return Reply(RpcError::from_code(code::internal_error, Json(std::move(why))));
  }
  co_return std::move(*reply);
}

bool is_unanswered(const RpcError& e) {
  static constexpr std::string_view tail = "` never received: oneshot canceled";
  if (e.code != code::internal_error || !e.data || !e.data->is_string()) return false;
  const auto& text = e.data->get_ref<const std::string&>();
  return text.rfind("response to `", 0) == 0 && text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

Status<RpcError> Connection::notify(std::string method, Json params) {
  std::string line;
  try {
    line = call_line(method, params, nullptr);
  } catch (const Json::exception&) {
    return plain("failed to create untyped request for `" + method);
  }
  if (!s_->out->push(std::move(line))) return receiver_gone();
  return ok();
}

std::size_t Connection::pending() const {
  std::lock_guard lk(s_->m);
  return s_->pending.size();
}

rt::awaitable<Status<RpcError>> run(Pipe to_agent, Pipe from_agent, std::vector<std::shared_ptr<Handler>> handlers,
                                    MainWork main_work) {
  return Channel::run(std::move(to_agent), std::move(from_agent), std::move(handlers), std::move(main_work));
}

}  // namespace palisk::rpc
