// Scripted-peer tests of the JSON-RPC channel: the channel runs on the runtime over two pipes
// while the test thread plays the agent with blocking, time-bounded reads and writes, asserting
// the exact lines on the wire. Every wait is bounded; a global alarm catches anything missed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <iostream>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/rpc.hpp"

namespace {

using namespace palisk;
using rpc::Json;
using rpc::RpcError;
using Reply = Result<Json, RpcError>;
using Clock = std::chrono::steady_clock;

constexpr auto kWait = std::chrono::seconds(5);

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void check(bool cond, const std::string& what) {
  if (!cond) throw Failure(what);
}
void check_eq(const std::string& got, const std::string& want, const std::string& what) {
  if (got != want) throw Failure(what + "\n      got:  " + got + "\n      want: " + want);
}

std::string show(const RpcError& e) {
  std::string s = "err " + std::to_string(e.code) + " " + e.message;
  if (e.data) s += " data=" + e.data->dump();
  return s;
}
std::string show(const Reply& r) { return r.ok() ? "ok " + r.value().dump() : show(r.error()); }
std::string show(const Status<RpcError>& r) { return r.ok() ? "ok" : show(r.error()); }

const std::string kParseError = R"({"jsonrpc":"2.0","error":{"code":-32700,"message":"Parse error"}})";
std::string not_found(const std::string& id) {
  return R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"},"id":)" + id + "}";
}
const std::string kNotFoundNotification = R"({"jsonrpc":"2.0","error":{"code":-32601,"message":"Method not found"}})";
std::string never_received(const std::string& method) {
  return "err -32603 Internal error data=\"response to `" + method + "` never received: oneshot canceled\"";
}

// Things that happened on the channel's side, in the order they happened.
class Log {
 public:
  void put(std::string s) {
    {
      std::lock_guard lk(m_);
      items_.push_back(std::move(s));
    }
    cv_.notify_all();
  }
  std::string take(const std::string& waiting_for) {
    std::unique_lock lk(m_);
    if (!cv_.wait_for(lk, kWait, [&] { return !items_.empty(); }))
      throw Failure("nothing logged within 5 s while waiting for " + waiting_for);
    auto s = std::move(items_.front());
    items_.pop_front();
    return s;
  }
  void expect(const std::string& want) { check_eq(take(want), want, "log"); }
  void expect_quiet(const std::string& why) {
    std::lock_guard lk(m_);
    check(items_.empty(), why + ": unexpected log entry " + (items_.empty() ? "" : items_.front()));
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<std::string> items_;
};

// The agent's end of the two pipes.
class Peer {
 public:
  Peer() = default;
  Peer(const Peer&) = delete;
  void open(int to_channel, int from_channel) {
    out_ = to_channel;
    in_ = from_channel;
  }
  ~Peer() {
    close_output();
    close_input();
  }

  void send(std::string_view bytes) {
    check(out_ >= 0, "peer output already closed");
    while (!bytes.empty()) {
      pollfd p{out_, POLLOUT, 0};
      check(::poll(&p, 1, 5000) == 1, "channel did not read within 5 s");
      ssize_t n = ::write(out_, bytes.data(), bytes.size());
      check(n > 0, std::string("peer write failed: ") + std::strerror(errno));
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
  }
  void send_line(const std::string& line) { send(line + "\n"); }

  // The next line the channel wrote, without its line feed.
  std::string line() {
    for (;;) {
      if (auto nl = buf_.find('\n'); nl != std::string::npos) {
        std::string l = buf_.substr(0, nl);
        buf_.erase(0, nl + 1);
        return l;
      }
      if (fill() == 0) throw Failure("end of stream while waiting for a line (have: " + buf_ + ")");
    }
  }
  void expect(const std::string& want) { check_eq(line(), want, "wire"); }
  // The channel closed the agent's input, with nothing more written.
  void expect_eof() {
    check(buf_.empty() && fill() == 0, "expected end of stream, got: " + buf_);
  }
  // An unclaimed request round trip: every reply the lines sent before it deserved has been
  // read once this returns, so "no reply" is checked without sleeping.
  void sync() {
    send_line(R"({"jsonrpc":"2.0","method":"sync/probe","id":"sync"})");
    expect(not_found("\"sync\""));
  }
  void close_output() {
    if (out_ >= 0) ::close(std::exchange(out_, -1));
  }
  void close_input() {
    if (in_ >= 0) ::close(std::exchange(in_, -1));
  }

 private:
  std::size_t fill() {
    pollfd p{in_, POLLIN, 0};
    check(::poll(&p, 1, 5000) == 1, "nothing written by the channel within 5 s (have: " + buf_ + ")");
    char tmp[65536];
    ssize_t n = ::read(in_, tmp, sizeof tmp);
    check(n >= 0, std::string("peer read failed: ") + std::strerror(errno));
    buf_.append(tmp, static_cast<std::size_t>(n));
    return static_cast<std::size_t>(n);
  }
  int out_ = -1;
  int in_ = -1;
  std::string buf_;
};

using HandleFn = std::function<rt::awaitable<Status<RpcError>>(std::string, Json, std::string,
                                                                 std::optional<rpc::Responder>)>;

class TestHandler : public rpc::Handler {
 public:
  TestHandler(std::function<bool(std::string_view, bool)> claim, HandleFn fn)
      : claim_(std::move(claim)), fn_(std::move(fn)) {}
  bool claims(std::string_view method, bool is_request) const override { return claim_(method, is_request); }
  rt::awaitable<Status<RpcError>> handle(std::string method, Json params, std::string raw,
                                         std::optional<rpc::Responder> responder) override {
    return fn_(std::move(method), std::move(params), std::move(raw), std::move(responder));
  }

 private:
  std::function<bool(std::string_view, bool)> claim_;
  HandleFn fn_;
};

// Claims notifications with the given method and logs "<method> <raw params>".
std::shared_ptr<rpc::Handler> logging(std::string method, std::shared_ptr<Log> log) {
  return std::make_shared<TestHandler>(
      [method](std::string_view m, bool req) { return !req && m == method; },
      [log](std::string m, Json, std::string raw, std::optional<rpc::Responder>) -> rt::awaitable<Status<RpcError>> {
        log->put(m + " " + raw);
        co_return ok();
      });
}

rt::awaitable<void> idle() {
  asio::steady_timer t(co_await asio::this_coro::executor, asio::steady_timer::time_point::max());
  co_await t.async_wait(rt::use_awaitable);
}

rt::awaitable<void> run_channel(Pipe to_agent, Pipe from_agent, std::vector<std::shared_ptr<rpc::Handler>> handlers,
                                rpc::MainWork main, std::shared_ptr<std::promise<Status<RpcError>>> done) {
  auto r = co_await rpc::run(std::move(to_agent), std::move(from_agent), std::move(handlers), std::move(main));
  done->set_value(std::move(r));
}

rt::awaitable<void> call(rpc::Connection c, std::string method, Json params, std::shared_ptr<Log> log) {
  try {
    auto r = co_await c.request(method, std::move(params));
    log->put(method + " " + show(r));
  } catch (const std::system_error&) {
    log->put(method + " cancelled");
  }
}

// One channel under test. By default its main work hands out its connection and waits.
class Chan {
 public:
  explicit Chan(std::vector<std::shared_ptr<rpc::Handler>> handlers, rpc::MainWork main = {}) {
    int a[2], b[2];
    if (::pipe2(a, O_CLOEXEC) != 0 || ::pipe2(b, O_CLOEXEC) != 0) throw Failure("pipe2 failed");
    peer_.open(b[1], a[0]);  // the agent writes b[1] (its stdout) and reads a[0] (its stdin)
    auto conn_p = std::make_shared<std::promise<rpc::Connection>>();
    conn_f_ = conn_p->get_future();
    if (!main) {
      main = [conn_p](rpc::Connection c) -> rt::awaitable<Status<RpcError>> {
        conn_p->set_value(c);
        co_await idle();
        co_return ok();
      };
    }
    auto done = std::make_shared<std::promise<Status<RpcError>>>();
    done_ = done->get_future();
    asio::co_spawn(rt::new_strand(),
                   run_channel(Pipe(rt::io(), a[1]), Pipe(rt::io(), b[0]), std::move(handlers), std::move(main), done),
                   asio::detached);
  }
  Chan(const Chan&) = delete;
  ~Chan() {
    if (finished()) return;
    peer_.close_output();
    if (done_.wait_for(kWait) != std::future_status::ready) {
      std::fprintf(stderr, "channel did not stop within 5 s of the end of its input\n");
      std::_Exit(3);
    }
  }

  Peer& peer() { return peer_; }
  rpc::Connection conn() {
    if (!conn_) {
      check(conn_f_.wait_for(kWait) == std::future_status::ready, "main work did not start within 5 s");
      conn_ = conn_f_.get();
    }
    return *conn_;
  }
  Status<RpcError> result() {
    check(done_.wait_for(kWait) == std::future_status::ready, "channel did not stop within 5 s");
    if (!result_) result_.emplace(done_.get());
    return *result_;
  }
  bool finished() { return result_ || done_.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }
  // Starts a request from a task of its own; its outcome goes to `log` as "<method> <reply>".
  void start_call(std::string method, Json params, std::shared_ptr<Log> log) {
    asio::co_spawn(rt::new_strand(), call(conn(), std::move(method), std::move(params), std::move(log)),
                   asio::detached);
  }
  // The id of the next request on the wire, checked against the exact envelope.
  std::string read_request(const std::string& method, const std::string& params_text) {
    static const std::regex uuid(R"([0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12})");
    std::string l = peer_.line();
    std::string head = R"({"jsonrpc":"2.0","method":")" + method + "\"" +
                       (params_text.empty() ? "" : ",\"params\":" + params_text) + R"(,"id":")";
    check(l.size() == head.size() + 38 && l.compare(0, head.size(), head) == 0 && l.substr(l.size() - 2) == "\"}",
          "request envelope: " + l);
    std::string id = l.substr(head.size(), 36);
    check(std::regex_match(id, uuid), "not a lower-case v4 UUID: " + id);
    return id;
  }

 private:
  Peer peer_;
  std::future<rpc::Connection> conn_f_;
  std::optional<rpc::Connection> conn_;
  std::future<Status<RpcError>> done_;
  std::optional<Status<RpcError>> result_;
};

// ---- the cases ----

struct Case {
  std::string name;
  std::function<void()> fn;
};
std::vector<Case> cases;

void add(std::string name, std::function<void()> fn) { cases.push_back({std::move(name), std::move(fn)}); }

void line_table() {
  std::string deep = R"({"method":"x","params":)" + std::string(100000, '[') + std::string(100000, ']') + R"(,"id":1})";
  std::string nested = R"({"method":"x","params":)" + std::string(200, '[') + std::string(200, ']') + R"(,"id":2})";
  struct Row {
    const char* name;
    std::string in;
    std::string reply;  // empty: nothing is written back
  };
  std::vector<Row> rows = {
      {"empty line", "", kParseError},
      {"whitespace line", " \t ", kParseError},
      {"not JSON", "hello", kParseError},
      {"two values on one line", R"({"method":"a","id":1} {"method":"b","id":2})", kParseError},
      {"batch, elements not processed", R"([{"jsonrpc":"2.0","method":"x","id":1}])", kParseError},
      {"scalar number", "42", kParseError},
      {"scalar string", R"("x")", kParseError},
      {"negative id", R"({"jsonrpc":"2.0","method":"x","id":-1})", kParseError},
      {"fractional id", R"({"jsonrpc":"2.0","method":"x","id":1.5})", kParseError},
      {"boolean id", R"({"method":"x","id":true})", kParseError},
      {"object id", R"({"method":"x","id":{}})", kParseError},
      {"id beyond u64", R"({"method":"x","id":18446744073709551616})", kParseError},
      {"jsonrpc not a string", R"({"jsonrpc":2,"method":"x","id":1})", kParseError},
      {"error code not an integer", R"({"id":"a","error":{"code":1.0,"message":"m"}})", kParseError},
      {"error code beyond 32 bits", R"({"id":"a","error":{"code":2147483648,"message":"m"}})", kParseError},
      {"error without message", R"({"id":"a","error":{"code":1}})", kParseError},
      {"nesting 100000 deep", deep, kParseError},
      {"nesting 200 deep accepted", nested, not_found("2")},
      {"params string read as response, discarded", R"({"method":"x","params":"text","id":5})", ""},
      {"response to unknown id", R"({"jsonrpc":"2.0","result":1,"id":"nobody"})", ""},
      {"response without id", R"({"jsonrpc":"2.0","result":1})", ""},
      {"error response without id", R"({"jsonrpc":"2.0","error":{"code":1,"message":"m"}})", ""},
      {"empty object", "{}", ""},
      {"missing jsonrpc accepted", R"({"method":"x/unknown","id":5})", not_found("5")},
      {"string id echoed", R"({"jsonrpc":"2.0","method":"x","id":"abc"})", not_found(R"("abc")")},
      {"number id echoed", R"({"jsonrpc":"2.0","method":"x","id":7})", not_found("7")},
      {"null id is a request", R"({"jsonrpc":"2.0","method":"x","id":null})", not_found("null")},
      {"largest u64 id", R"({"method":"x","id":18446744073709551615})", not_found("18446744073709551615")},
      {"non-ASCII id written as is", R"({"method":"x","id":"\u00e9☃😀"})", not_found("\"é☃😀\"")},
      {"null members count as absent", R"({"jsonrpc":null,"version":null,"method":"x","params":null,"id":"n"})",
       not_found(R"("n")")},
      {"unknown members ignored", R"({"jsonrpc":"1.0","extra":[1],"method":"x","id":8})", not_found("8")},
      {"surrounding whitespace", "  {\"method\":\"x\",\"id\":3}\t ", not_found("3")},
      {"CRLF line ending", "{\"method\":\"x\",\"id\":4}\r", not_found("4")},
      {"unknown notification", R"({"jsonrpc":"2.0","method":"x/unknown"})", kNotFoundNotification},
      {"unknown notification with params", R"({"method":"x/unknown","params":[1]})", kNotFoundNotification},
  };
  for (auto& row : rows) {
    add(std::string("line: ") + row.name, [row] {
      Chan ch({});
      ch.peer().send_line(row.in);
      if (!row.reply.empty()) ch.peer().expect(row.reply);
      ch.peer().sync();
    });
  }
}

void outgoing_table() {
  add("outgoing envelopes, sorted payloads, params only when structured", [] {
    Chan ch({});
    auto c = ch.conn();
    struct Row {
      const char* method;
      Json params;
      std::string line;  // empty: the send fails with `error`
      std::string error;
    };
    std::vector<Row> rows = {
        {"n/obj", Json::parse(R"({"b":1,"a":{"d":[{"z":1,"y":2}],"c":"é\n"}})"),
         R"({"jsonrpc":"2.0","method":"n/obj","params":{"a":{"c":"é\n","d":[{"y":2,"z":1}]},"b":1}})", ""},
        {"n/arr", Json::parse(R"([3,{"b":1,"a":2}])"),
         R"({"jsonrpc":"2.0","method":"n/arr","params":[3,{"a":2,"b":1}]})", ""},
        {"n/scalar", Json(5), R"({"jsonrpc":"2.0","method":"n/scalar"})", ""},
        {"n/null", Json(), R"({"jsonrpc":"2.0","method":"n/null"})", ""},
        {"n/bad", Json("\xff"), "", "err -32000 failed to create untyped request for `n/bad"},
        {"n/bad-key", Json{{"\xc3", 1}}, "", "err -32000 failed to create untyped request for `n/bad-key"},
    };
    for (auto& row : rows) {
      auto r = c.notify(row.method, row.params);
      if (row.line.empty()) {
        check_eq(show(r), row.error, row.method);
      } else {
        check_eq(show(r), "ok", row.method);
        ch.peer().expect(row.line);
      }
    }
    // An unserializable request fails at once, writes nothing and leaves nothing pending.
    auto log = std::make_shared<Log>();
    ch.start_call("r/bad", Json{{"s", "\xff"}}, log);
    log->expect("r/bad err -32000 failed to create untyped request for `r/bad");
    check(c.pending() == 0, "pending entry left by an unserializable request");
    ch.peer().sync();
  });

  add("answers to incoming requests", [] {
    auto answer = std::make_shared<TestHandler>(
        [](std::string_view m, bool req) { return req && m.substr(0, 7) == "answer/"; },
        [](std::string m, Json, std::string, std::optional<rpc::Responder> r) -> rt::awaitable<Status<RpcError>> {
          Result<Json, RpcError> a = Json();
          if (m == "answer/obj") a = Json::parse(R"({"b":[{"d":1,"c":2}],"a":"ü"})");
          if (m == "answer/err") a = RpcError{-32602, "Invalid params", Json::parse(R"({"b":1,"a":2})")};
          if (m == "answer/err-null-data") a = RpcError{5, "custom", Json()};
          if (m == "answer/err-no-data") a = RpcError{-32800, "stop", std::nullopt};
          if (m == "answer/bad") a = Json{{"s", "\xff"}};
          auto s = r->respond(std::move(a));
          check(s.ok(), "respond failed: " + show(s));
          co_return ok();
        });
    Chan ch({answer});
    struct Row {
      const char* method;
      const char* id;
      std::string line;
    };
    std::vector<Row> rows = {
        {"answer/obj", R"("s")", R"({"jsonrpc":"2.0","result":{"a":"ü","b":[{"c":2,"d":1}]},"id":"s"})"},
        {"answer/null", "7", R"({"jsonrpc":"2.0","result":null,"id":7})"},
        {"answer/err", "null",
         R"({"jsonrpc":"2.0","error":{"code":-32602,"message":"Invalid params","data":{"a":2,"b":1}},"id":null})"},
        {"answer/err-null-data", "8", R"({"jsonrpc":"2.0","error":{"code":5,"message":"custom","data":null},"id":8})"},
        {"answer/err-no-data", "9", R"({"jsonrpc":"2.0","error":{"code":-32800,"message":"stop"},"id":9})"},
        {"answer/bad", R"("b")", R"({"jsonrpc":"2.0","error":{"code":-32603,"message":"Internal error"},"id":"b"})"},
    };
    for (auto& row : rows) {
      ch.peer().send_line(std::string(R"({"jsonrpc":"2.0","method":")") + row.method + R"(","id":)" + row.id + "}");
      ch.peer().expect(row.line);
    }
  });
}

void request_cases() {
  add("two requests: distinct v4 ids, in order, one line each", [] {
    auto log = std::make_shared<Log>();
    rpc::MainWork main = [log](rpc::Connection c) -> rt::awaitable<Status<RpcError>> {
      // gcc 12 rejects a braced initialiser list inside a co_await expression.
      Json p1 = Json{{"n", 1}}, p2 = Json::array({1});
      auto first = co_await c.request("first", std::move(p1));
      log->put("first " + show(first));
      auto second = co_await c.request("second", std::move(p2));
      log->put("second " + show(second));
      co_await idle();
      co_return ok();
    };
    Chan ch({}, main);
    std::string id1 = ch.read_request("first", R"({"n":1})");
    ch.peer().send_line(R"({"jsonrpc":"2.0","result":null,"id":")" + id1 + "\"}");
    log->expect("first ok null");
    std::string id2 = ch.read_request("second", "[1]");
    check(id1 != id2, "ids repeat");
    ch.peer().send_line(R"({"result":{"z":1,"a":0},"id":")" + id2 + "\"}");
    log->expect(R"(second ok {"a":0,"z":1})");
  });

  struct Row {
    const char* name;
    std::string reply;  // "ID" stands for the request's id
    std::string logged;
  };
  std::vector<Row> rows = {
      {"null result resolves with null", R"({"jsonrpc":"2.0","result":null,"id":"ID"})", "m ok null"},
      {"result wins over error", R"({"result":2,"error":{"code":1,"message":"m"},"id":"ID"})", "m ok 2"},
      {"error as received", R"({"jsonrpc":"2.0","error":{"code":-32002,"message":"gone","data":null},"id":"ID"})",
       "m err -32002 gone data=null"},
      {"unknown error code kept", R"({"error":{"code":12345,"message":"","data":{"b":[]}},"id":"ID"})",
       R"(m err 12345  data={"b":[]})"},
      {"id only settles with the internal error", R"({"jsonrpc":"2.0","id":"ID"})", "m err -32603 Internal error"},
  };
  for (auto& row : rows) {
    add("response: " + std::string(row.name), [row] {
      Chan ch({});
      auto log = std::make_shared<Log>();
      ch.start_call("m", Json::object(), log);
      std::string id = ch.read_request("m", "{}");
      ch.peer().send_line(std::regex_replace(row.reply, std::regex("ID"), id));
      log->expect(row.logged);
      check(ch.conn().pending() == 0, "entry left pending");
    });
  }

  add("response matching: id type, exact text, second answer ignored", [] {
    Chan ch({});
    auto log = std::make_shared<Log>();
    ch.start_call("m", Json(), log);
    std::string id = ch.read_request("m", "");
    std::string upper = id;
    for (auto& ch2 : upper) ch2 = static_cast<char>(std::toupper(static_cast<unsigned char>(ch2)));
    ch.peer().send_line(R"({"result":"upper","id":")" + upper + "\"}");
    ch.peer().send_line(R"({"result":"wrapped","id":[")" + id + "\"]}");  // not an id at all
    ch.peer().expect(kParseError);
    ch.peer().sync();
    log->expect_quiet("a non-matching id resolved the call");
    check(ch.conn().pending() == 1, "call no longer pending");
    ch.peer().send_line(R"({"jsonrpc":"2.0","result":"right","id":")" + id + "\"}");
    log->expect(R"(m ok "right")");
    ch.peer().send_line(R"({"jsonrpc":"2.0","result":"again","id":")" + id + "\"}");
    ch.peer().sync();
    log->expect_quiet("second answer");
  });

  add("number id never matches a string id", [] {
    // Our ids are strings; a response carrying the number 5 must not settle anything, even with
    // a call pending, and must not be confused with the string "5".
    Chan ch({});
    auto log = std::make_shared<Log>();
    ch.start_call("m", Json(), log);
    std::string id = ch.read_request("m", "");
    ch.peer().send_line(R"({"result":"num","id":5})");
    ch.peer().send_line(R"({"result":"str","id":"5"})");
    ch.peer().sync();
    log->expect_quiet("mismatched id");
    check(ch.conn().pending() == 1, "call no longer pending");
    ch.peer().send_line(R"({"result":"ok","id":")" + id + "\"}");
    log->expect(R"(m ok "ok")");
  });

  add("many concurrent calls answered in reverse order", [] {
    Chan ch({});
    auto log = std::make_shared<Log>();
    constexpr int n = 50;
    std::vector<std::pair<std::string, int>> seen;
    for (int i = 0; i < n; ++i) ch.start_call("m" + std::to_string(i), Json(), log);
    for (int i = 0; i < n; ++i) {
      std::string l = ch.peer().line();
      auto mpos = l.find("\"method\":\"m") + 11;
      int k = std::stoi(l.substr(mpos));
      seen.emplace_back(l.substr(l.size() - 38, 36), k);
    }
    check(ch.conn().pending() == n, "pending count");
    for (auto it = seen.rbegin(); it != seen.rend(); ++it)
      ch.peer().send_line(R"({"result":)" + std::to_string(it->second) + R"(,"id":")" + it->first + "\"}");
    // Each caller resumes on its own strand, so only the pairing is fixed, not the log order.
    std::vector<std::string> got, want;
    for (int i = 0; i < n; ++i) {
      got.push_back(log->take("call " + std::to_string(i)));
      want.push_back("m" + std::to_string(i) + " ok " + std::to_string(i));
    }
    std::sort(got.begin(), got.end());
    std::sort(want.begin(), want.end());
    check(got == want, "a reply reached the wrong caller");
    check(ch.conn().pending() == 0, "entries left pending");
  });

  add("a cancelled caller's entry leaves the pending table", [] {
    Chan ch({});
    auto log = std::make_shared<Log>();
    auto strand = rt::new_strand();
    asio::cancellation_signal sig;
    asio::co_spawn(strand, call(ch.conn(), "slow", Json(), log),
                   asio::bind_cancellation_slot(sig.slot(), asio::detached));
    std::string id = ch.read_request("slow", "");
    check(ch.conn().pending() == 1, "call not pending");
    asio::post(strand, [&sig] { sig.emit(asio::cancellation_type::terminal); });
    log->expect("slow cancelled");
    check(ch.conn().pending() == 0, "cancelled call still pending");
    ch.peer().send_line(R"({"result":1,"id":")" + id + "\"}");
    ch.peer().sync();
  });
}

void dispatch_cases() {
  add("handlers offered in registration order", [] {
    auto log = std::make_shared<Log>();
    auto first = std::make_shared<TestHandler>(
        [](std::string_view m, bool req) { return !req && m == "dup"; },
        [log](std::string m, Json, std::string, std::optional<rpc::Responder> r) -> rt::awaitable<Status<RpcError>> {
          log->put("first " + m + (r ? " with responder" : ""));
          co_return ok();
        });
    auto second = std::make_shared<TestHandler>(
        [](std::string_view m, bool) { return m == "dup"; },
        [log](std::string m, Json, std::string, std::optional<rpc::Responder> r) -> rt::awaitable<Status<RpcError>> {
          log->put("second " + m + (r ? " with responder" : ""));
          if (r) r->respond(Json("second"));
          co_return ok();
        });
    Chan ch({first, second});
    ch.peer().send_line(R"({"jsonrpc":"2.0","method":"dup","params":{}})");
    log->expect("first dup");
    ch.peer().send_line(R"({"jsonrpc":"2.0","method":"dup","id":1})");
    log->expect("second dup with responder");
    ch.peer().expect(R"({"jsonrpc":"2.0","result":"second","id":1})");
    ch.peer().sync();
    log->expect_quiet("extra handling");
  });

  add("line longer than the read buffer, params handed over raw and parsed", [] {
    auto log = std::make_shared<Log>();
    auto echo = std::make_shared<TestHandler>(
        [](std::string_view m, bool req) { return req && m == "echo"; },
        [log](std::string, Json params, std::string raw,
              std::optional<rpc::Responder> r) -> rt::awaitable<Status<RpcError>> {
          log->put(raw);
          r->respond(std::move(params));
          co_return ok();
        });
    Chan ch({echo});
    std::string big(20000, 'x');
    std::string raw = R"({ "b" : ")" + big + R"(", "a" : [1.50, 2e0, -0] })";
    ch.peer().send_line(R"({"method":"echo","params":)" + raw + R"(,"id":"big","params2":[]})");
    log->expect(raw);
    ch.peer().expect(R"({"jsonrpc":"2.0","result":{"a":[1.5,2.0,0],"b":")" + big + R"("},"id":"big"})");
  });

  add("a blocked handler holds back a later response", [] {
    auto log = std::make_shared<Log>();
    auto gate = std::make_shared<rt::Event>();
    auto slow = std::make_shared<TestHandler>(
        [](std::string_view m, bool req) { return !req && m == "slow"; },
        [log, gate](std::string, Json, std::string, std::optional<rpc::Responder>) -> rt::awaitable<Status<RpcError>> {
          log->put("slow start");
          co_await gate->wait();
          log->put("slow end");
          co_return ok();
        });
    Chan ch({slow});
    // Opened on the way out too, or a failed check would leave the channel unable to stop.
    struct Release {
      std::shared_ptr<rt::Event> gate;
      ~Release() { gate->notify(); }
    } release{gate};
    ch.start_call("m", Json(), log);
    std::string id = ch.read_request("m", "");
    ch.peer().send(R"({"method":"slow"})" "\n" R"({"result":1,"id":")" + id + "\"}\n");
    log->expect("slow start");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    log->expect_quiet("response delivered while a handler was busy");
    gate->notify();
    log->expect("slow end");
    log->expect("m ok 1");
  });
}

void stop_cases() {
  add("a failing handler stops the channel; pending and later sends fail", [] {
    auto log = std::make_shared<Log>();
    auto kept = std::make_shared<std::optional<rpc::Responder>>();
    auto keep = std::make_shared<TestHandler>(
        [](std::string_view m, bool req) { return req && m == "keep"; },
        [kept](std::string, Json, std::string, std::optional<rpc::Responder> r) -> rt::awaitable<Status<RpcError>> {
          *kept = std::move(r);
          co_return ok();
        });
    auto boom = std::make_shared<TestHandler>(
        [](std::string_view m, bool req) { return !req && m == "boom"; },
        [](std::string, Json, std::string, std::optional<rpc::Responder>) -> rt::awaitable<Status<RpcError>> {
          co_return RpcError{-32602, "bad params", std::nullopt};
        });
    Chan ch({keep, boom});
    ch.start_call("pending", Json(), log);
    ch.read_request("pending", "");
    ch.peer().send_line(R"({"method":"keep","id":"k"})");
    ch.peer().sync();
    // One write: the channel may close its end as soon as it has read "boom".
    ch.peer().send(R"({"method":"boom"})" "\n" R"({"method":"after","id":"a"})" "\n");
    check_eq(show(ch.result()), "err -32602 bad params", "run result");
    log->expect("pending " + never_received("pending"));
    ch.peer().expect_eof();
    auto c = ch.conn();
    check_eq(show(c.notify("late", Json::object())), "err -32000 send failed because receiver is gone", "notify");
    ch.start_call("later", Json(), log);
    log->expect("later err -32000 failed to send outgoing request `later");
    check_eq(show((*kept)->respond(Json(1))), "err -32000 send failed because receiver is gone", "respond");
    check(c.pending() == 0, "pending entries survive the stop");
  });

  add("end of output while a call is pending", [] {
    Chan ch({});
    auto log = std::make_shared<Log>();
    ch.start_call("session/prompt", Json::object(), log);
    ch.read_request("session/prompt", "{}");
    ch.peer().close_output();
    check_eq(show(ch.result()), "ok", "run result");
    log->expect("session/prompt " + never_received("session/prompt"));
    ch.peer().expect_eof();
  });

  add("last line without a line feed is delivered at the end", [] {
    auto log = std::make_shared<Log>();
    Chan ch({logging("tail", log)});
    ch.peer().send(R"({"method":"tail","params":[1]})");
    ch.peer().close_output();
    check_eq(show(ch.result()), "ok", "run result");
    log->expect("tail [1]");
  });

  add("lines read before the end are all handled, in order", [] {
    // The agent answers and exits at once; what it wrote must not be lost to the end of stream.
    auto log = std::make_shared<Log>();
    auto note = std::make_shared<TestHandler>(
        [](std::string_view m, bool req) { return !req && m == "note"; },
        [log](std::string m, Json, std::string, std::optional<rpc::Responder>) -> rt::awaitable<Status<RpcError>> {
          asio::steady_timer t(co_await asio::this_coro::executor, std::chrono::milliseconds(50));
          co_await t.async_wait(rt::use_awaitable);
          log->put(m);
          co_return ok();
        });
    Chan ch({note});
    ch.start_call("final", Json(), log);
    std::string id = ch.read_request("final", "");
    ch.peer().send(R"({"method":"note"})" "\n" R"({"result":"done","id":")" + id + "\"}\n");
    ch.peer().close_output();
    log->expect("note");
    log->expect(R"(final ok "done")");
    check_eq(show(ch.result()), "ok", "run result");
  });

  struct Bad {
    const char* name;
    std::string line;
  };
  std::vector<Bad> bad = {
      {"stray byte", R"({"method":"n","params":[")" "\xff" R"("]})"},
      {"overlong", R"({"method":"n","params":[")" "\xc0\xaf" R"("]})"},
      {"surrogate", R"({"method":"n","params":[")" "\xed\xa0\x80" R"("]})"},
      {"beyond U+10FFFF", R"({"method":"n","params":[")" "\xf4\x90\x80\x80" R"("]})"},
      {"truncated at line end", "{\"method\":\"n\",\"params\":[\"x\"]}\xe2\x82"},
      {"outside a string", "{\"method\":\"n\"}\xfe"},
  };
  for (auto& b : bad) {
    add("invalid UTF-8 stops the channel: " + std::string(b.name), [b] {
      auto log = std::make_shared<Log>();
      Chan ch({logging("n", log)});
      ch.peer().send(R"({"method":"n","params":["ok"]})" "\n" + b.line +
                     "\n" R"({"method":"n","params":["after"]})" "\n");
      check_eq(show(ch.result()), R"(err -32603 Internal error data="agent output is not valid UTF-8")", "run result");
      log->expect(R"(n ["ok"])");
      ch.peer().expect_eof();
      log->expect_quiet("line after the invalid one");
    });
  }

  struct MainRow {
    const char* name;
    std::optional<RpcError> error;
  };
  for (auto row : std::vector<MainRow>{{"ok", std::nullopt}, {"error", RpcError{7, "main failed", Json(1)}}}) {
    add(std::string("main work ending stops the channel: ") + row.name, [row] {
      auto log = std::make_shared<Log>();
      rpc::MainWork main = [row](rpc::Connection c) -> rt::awaitable<Status<RpcError>> {
        (void)co_await c.request("hello", Json());
        if (row.error) co_return *row.error;
        co_return ok();
      };
      Chan ch({}, main);
      std::string id = ch.read_request("hello", "");
      ch.peer().send_line(R"({"result":1,"id":")" + id + "\"}");
      check_eq(show(ch.result()), row.error ? show(*row.error) : "ok", "run result");
      ch.peer().expect_eof();
    });
  }

  add("a write failure stops the channel", [] {
    Chan ch({});
    auto log = std::make_shared<Log>();
    ch.start_call("pending", Json(), log);
    ch.read_request("pending", "");
    ch.peer().close_input();
    ch.peer().send_line(R"({"method":"x","id":1})");  // its error reply cannot be written
    check_eq(show(ch.result()), R"(err -32603 Internal error data="failed to write to the agent: Broken pipe")",
             "run result");
    log->expect("pending " + never_received("pending"));
  });
}

void error_values() {
  struct Row {
    RpcError e;
    std::string display;
  };
  std::vector<Row> rows = {
      {RpcError::from_code(-32700), "Parse error"},
      {RpcError::from_code(-32600), "Invalid request"},
      {RpcError::from_code(-32601), "Method not found"},
      {RpcError::from_code(-32602), "Invalid params"},
      {RpcError::from_code(-32603), "Internal error"},
      {RpcError::from_code(-32800), "Request cancelled"},
      {RpcError::from_code(-32000), "Authentication required"},
      {RpcError::from_code(-32002), "Resource not found"},
      {RpcError::from_code(42), "Unknown error"},
      {RpcError{-5, "", std::nullopt}, "-5"},
      {RpcError{1, "m", Json()}, "m: null"},
      {RpcError{1, "m", Json::parse(R"({"b":[1,{}],"a":"é"})")},
       "m: {\n  \"a\": \"é\",\n  \"b\": [\n    1,\n    {}\n  ]\n}"},
  };
  add("error codes and display texts", [rows] {
    for (auto& r : rows) check_eq(r.e.display(), r.display, "display of " + std::to_string(r.e.code));
    check(rpc::RpcError::from_code(42).code == 42, "code kept");
    check_eq(rpc::RpcId{std::uint64_t{7}}.to_json().dump() + rpc::RpcId{std::string("a")}.to_json().dump() +
                 rpc::RpcId{}.to_json().dump(),
             R"(7"a"null)", "ids");
  });
}

void on_alarm(int) {
  const char msg[] = "rpc_test: watchdog expired, a wait was not bounded\n";
  (void)!::write(2, msg, sizeof msg - 1);
  std::_Exit(2);
}

}  // namespace

int main() {
  ::signal(SIGPIPE, SIG_IGN);  // as in a Python host: a closed pipe is an error, not a signal
  ::signal(SIGALRM, on_alarm);
  ::alarm(120);
  line_table();
  outgoing_table();
  request_cases();
  dispatch_cases();
  stop_cases();
  error_values();
  int passed = 0, failed = 0;
  for (auto& c : cases) {
    try {
      c.fn();
      ++passed;
      std::cout << "ok   " << c.name << "\n";
    } catch (const std::exception& e) {
      ++failed;
      std::cout << "FAIL " << c.name << "\n      " << e.what() << "\n";
    }
  }
  std::cout << passed << " passed, " << failed << " failed" << std::endl;
  return failed == 0 ? 0 : 1;
}
