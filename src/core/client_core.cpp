// The ACP client's connection, background task, handlers and operations.
#include "core/client_core.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace palisk::client {

namespace {

using rpc::Json;
using rpc::RpcError;

PaliskError agent_error(const RpcError& e) { return protocol_error(e.display()); }

// ---------------------------------------------------------------- handlers on the channel

class UpdateHandler final : public rpc::Handler {
 public:
  explicit UpdateHandler(rt::Queue<TurnEvent>::Sender tx) : tx_(std::move(tx)) {}
  bool claims(std::string_view method, bool is_request) const override {
    return !is_request && method == "session/update";
  }
  rt::awaitable<Status<RpcError>> handle(std::string, Json params, std::string,
                                         std::optional<rpc::Responder>) override {
    auto events = acp::read_session_update(params);
    if (!events) co_return std::move(events.error());
    // A full queue holds the dispatcher here: that is the stream's back-pressure.
    for (auto& e : events.value()) co_await tx_.send(std::move(e));
    co_return ok();
  }

 private:
  rt::Queue<TurnEvent>::Sender tx_;
};

class ExtensionHandler final : public rpc::Handler {
 public:
  explicit ExtensionHandler(rt::Queue<TurnEvent>::Sender tx) : tx_(std::move(tx)) {}
  bool claims(std::string_view method, bool is_request) const override {
    return !is_request && (method == "session/update" || (!method.empty() && method.front() == '_'));
  }
  rt::awaitable<Status<RpcError>> handle(std::string method, Json, std::string raw,
                                         std::optional<rpc::Responder>) override {
    if (!method.empty() && method.front() == '_') method.erase(0, 1);
    TurnEvent event = acp::extension_event(std::move(method), std::move(raw));
    co_await tx_.send(std::move(event));
    co_return ok();
  }

 private:
  rt::Queue<TurnEvent>::Sender tx_;
};

class PermissionHandler final : public rpc::Handler {
 public:
  explicit PermissionHandler(std::shared_ptr<PermissionGate> gate) : gate_(std::move(gate)) {}
  bool claims(std::string_view method, bool is_request) const override {
    return is_request && method == "session/request_permission";
  }
  rt::awaitable<Status<RpcError>> handle(std::string, Json params, std::string,
                                         std::optional<rpc::Responder> responder) override {
    auto query = acp::read_permission_request(params);
    if (!query) co_return std::move(query.error());
    bool denied = gate_ ? co_await gate_->denied(query.value()) : false;
    if (responder) responder->respond(acp::permission_answer(query.value(), denied));
    co_return ok();
  }

 private:
  std::shared_ptr<PermissionGate> gate_;
};

// ---------------------------------------------------------------- the background task

using HandshakeReply = rt::Oneshot<Result<acp::Handshake, RpcError>>;

template <class T>
void reply(Reply<T>& slot, Result<T> value) {
  slot.send(std::move(value));  // nobody waiting any more: dropped
}

// A request's answer. When the channel has stopped (the agent is gone) the task does not act on
// the failure: it waits to be dropped with the channel, so whoever waits on the command in
// progress sees its reply dropped, as for every other command in flight.
rt::awaitable<Result<Json, RpcError>> call(rpc::Connection& conn, std::string method, Json params) {
  auto r = co_await conn.request(std::move(method), std::move(params));
  if (!r && rpc::is_unanswered(r.error())) {
    rt::Event never;
    for (;;) co_await never.wait();
  }
  co_return r;
}

std::string dump_or(const Json& j, const char* fallback) {
  try {
    return rpc::dump(j);
  } catch (const nlohmann::json::exception&) {
    return fallback;
  }
}

rt::awaitable<void> perform(rpc::Connection& conn, AcpCommand& command, rt::Queue<TurnEvent>::Sender& updates) {
  if (auto* c = std::get_if<cmd::NewSession>(&command)) {
    auto r = co_await call(conn, "session/new", acp::new_session_params(c->cwd, c->meta_json, c->mcp_servers_json));
    if (!r) co_return reply<std::string>(c->reply, agent_error(r.error()));
    auto id = acp::read_new_session_result(r.value());
    if (!id) co_return reply<std::string>(c->reply, agent_error(id.error()));
    co_return reply<std::string>(c->reply, std::move(id.value()));
  }
  if (auto* c = std::get_if<cmd::LoadSession>(&command)) {
    auto r = co_await call(conn, "session/load", acp::load_session_params(c->session_id, c->cwd));
    if (!r) co_return reply<std::string>(c->reply, agent_error(r.error()));
    if (auto chk = acp::check_optional_object_result(r.value()); !chk)
      co_return reply<std::string>(c->reply, agent_error(chk.error()));
    co_return reply<std::string>(c->reply, c->session_id);
  }
  if (auto* c = std::get_if<cmd::SetSessionMode>(&command)) {
    auto r = co_await call(conn, "session/set_mode", acp::set_mode_params(c->session_id, c->mode_id));
    if (!r) co_return reply<Unit>(c->reply, agent_error(r.error()));
    if (auto chk = acp::check_optional_object_result(r.value()); !chk)
      co_return reply<Unit>(c->reply, agent_error(chk.error()));
    co_return reply<Unit>(c->reply, ok());
  }
  if (auto* c = std::get_if<cmd::SetConfigOption>(&command)) {
    Json params = {{"config_id", c->config_id}, {"session_id", c->session_id}, {"value", c->value}};
    auto r = co_await call(conn, "session/set_config_option", std::move(params));
    if (!r) co_return reply<std::string>(c->reply, agent_error(r.error()));
    co_return reply<std::string>(c->reply, dump_or(r.value(), "{}"));
  }
  if (auto* c = std::get_if<cmd::CancelSession>(&command)) {
    conn.notify("session/cancel", acp::cancel_params(c->session_id));  // a failure is ignored
    co_return;
  }
  if (auto* c = std::get_if<cmd::ForkSession>(&command)) {
    Json params = {{"cwd", c->cwd}, {"session_id", c->session_id}};
    auto r = co_await call(conn, "session/fork", std::move(params));
    if (!r) co_return reply<std::string>(c->reply, agent_error(r.error()));
    const Json& v = r.value();
    std::string id;
    if (v.is_object()) {
      auto it = v.find("session_id");
      if (it != v.end() && it->is_string()) id = it->get<std::string>();
    }
    co_return reply<std::string>(c->reply, std::move(id));
  }
  if (auto* c = std::get_if<cmd::ListSessions>(&command)) {
    Json params = Json::object();
    if (c->cwd) params["cwd"] = *c->cwd;
    auto r = co_await call(conn, "session/list", std::move(params));
    if (!r) co_return reply<std::string>(c->reply, agent_error(r.error()));
    co_return reply<std::string>(c->reply, dump_or(r.value(), "[]"));
  }
  if (auto* c = std::get_if<cmd::ResumeSession>(&command)) {
    Json params = {{"cwd", c->cwd}, {"session_id", c->session_id}};
    auto r = co_await call(conn, "session/resume", std::move(params));
    if (!r) co_return reply<std::string>(c->reply, agent_error(r.error()));
    co_return reply<std::string>(c->reply, c->session_id);
  }
  if (auto* c = std::get_if<cmd::Prompt>(&command)) {
    auto r = co_await call(conn, "session/prompt", acp::prompt_params(c->session_id, c->text, c->content_json));
    Result<std::string, RpcError> stop = r ? acp::read_prompt_result(r.value()) : Result<std::string, RpcError>(r.error());
    // Let the runtime's other tasks run first (a reader woken by the last updates, say).
    for (int i = 0; i < 10; ++i) co_await rt::yield_now();
    acp::ev::Done done;
    done.turn = c->turn;
    if (stop) done.stop_reason = stop.value();
    co_await updates.send(std::move(done));  // no reader left: dropped
    if (stop) co_return reply<Unit>(c->reply, ok());
    co_return reply<Unit>(c->reply, agent_error(stop.error()));
  }
}

struct TaskInputs {
  rt::Queue<AcpCommand>::Receiver commands;
  rt::Queue<TurnEvent>::Sender updates;
  HandshakeReply::Sender handshake;
};

rt::awaitable<Status<RpcError>> acp_task(rpc::Connection conn, TaskInputs in) {
  auto init = co_await call(conn, "initialize", acp::initialize_params());
  Result<acp::Handshake, RpcError> hs = init ? acp::read_initialize_result(init.value())
                                             : Result<acp::Handshake, RpcError>(init.error());
  if (!hs) {
    RpcError e = hs.error();
    in.handshake.send(std::move(hs));
    co_return e;
  }
  in.handshake.send(std::move(hs));
  for (;;) {
    auto next = co_await in.commands.recv();
    if (!next || std::holds_alternative<cmd::Shutdown>(*next)) break;
    co_await perform(conn, *next, in.updates);
  }
  co_return ok();
}

void log_channel_error(const RpcError& e) {
  std::string line = "palisk-sdk: ACP background task error: " + e.display() + "\n";
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    ssize_t n = ::write(2, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

// ---------------------------------------------------------------- the command exchange

rt::awaitable<Result<rt::Queue<AcpCommand>::Sender>> command_sender(Client& c) {
  auto g = co_await c.conn.mutex.lock();
  if (!c.conn.value) co_return connection_error("client not connected");
  co_return c.conn.value->commands;
}

template <class T, class Cmd>
rt::awaitable<Result<T>> exchange(rt::Queue<AcpCommand>::Sender tx, Cmd command, const char* dropped) {
  auto [reply_tx, reply_rx] = rt::Oneshot<Result<T>>::make();
  command.reply = std::move(reply_tx);
  AcpCommand queued = std::move(command);
  if (!co_await tx.send(std::move(queued))) co_return connection_error("background task closed");
  auto r = co_await reply_rx.receive();
  if (!r) co_return connection_error(dropped);
  co_return std::move(*r);
}

template <class T, class Cmd>
rt::awaitable<Result<T>> exchange(Client& c, Cmd command, const char* dropped) {
  auto tx = co_await command_sender(c);
  if (!tx) co_return std::move(tx.error());
  co_return co_await exchange<T>(std::move(tx.value()), std::move(command), dropped);
}

rt::awaitable<void> remember_session(Client& c, const std::string& id) {
  auto g = co_await c.conn.mutex.lock();
  if (c.conn.value) c.conn.value->default_session = id;
}

struct Resolved {
  rt::Queue<AcpCommand>::Sender commands;
  std::string session_id;
};

rt::awaitable<Result<Resolved>> resolve_session(Client& c, OptStr session_id) {
  Resolved out;
  OptStr fallback;
  {
    auto g = co_await c.conn.mutex.lock();
    if (!c.conn.value) co_return connection_error("client not connected");
    if (!c.conn.value->initialized) co_return connection_error("client not initialized");
    out.commands = c.conn.value->commands;
    fallback = c.conn.value->default_session;
  }
  if (session_id) {
    out.session_id = std::move(*session_id);
  } else if (fallback) {
    out.session_id = std::move(*fallback);
  } else {
    cmd::NewSession command{current_dir(), {}, {}, {}};
    auto id = co_await exchange<std::string>(out.commands, std::move(command), "session reply dropped");
    if (!id) co_return std::move(id.error());
    co_await remember_session(c, id.value());
    out.session_id = std::move(id.value());
  }
  co_return out;
}

// The turn result of a Done, if a send_prompt() is waiting for it to be collected.
std::optional<TurnResult::Receiver> take_turn(Client& c, std::uint64_t turn) {
  std::lock_guard lk(c.turns_m);
  auto it = c.turns.find(turn);
  if (it == c.turns.end()) return std::nullopt;
  auto rx = std::move(it->second);
  c.turns.erase(it);
  return rx;
}

Received done_update(const OptStr& stop) {
  if (!stop) return std::optional<SessionUpdateData>();
  SessionUpdateData d;
  d.kind = UpdateKind::Done;
  d.stop_reason = stop;
  return std::optional<SessionUpdateData>(std::move(d));
}

// Finishing a Done once its turn result is known.
Received after_turn(std::optional<Result<Unit>> result, const OptStr& stop) {
  if (result && !result->ok()) return std::move(result->error());
  return done_update(stop);
}

}  // namespace

// ---------------------------------------------------------------- connection

rt::awaitable<Result<CapabilitiesData>> connect(std::shared_ptr<Client> c) {
  auto spawned = AgentProcess::spawn(c->config);
  if (!spawned) co_return std::move(spawned.error());
  std::unique_ptr<AgentProcess> proc = std::move(spawned.value());
  auto in = proc->take_stdin();
  if (!in) co_return std::move(in.error());
  auto out = proc->take_stdout();
  if (!out) co_return std::move(out.error());

  auto [cmd_tx, cmd_rx] = rt::Queue<AcpCommand>::make(32);
  auto [upd_tx, upd_rx] = rt::Queue<TurnEvent>::make(512);
  auto [hs_tx, hs_rx] = HandshakeReply::make();

  std::vector<std::shared_ptr<rpc::Handler>> handlers = {
      std::make_shared<UpdateHandler>(upd_tx),
      std::make_shared<ExtensionHandler>(upd_tx),
      std::make_shared<PermissionHandler>(c->gate),
  };
  auto inputs = std::make_shared<TaskInputs>(TaskInputs{std::move(cmd_rx), std::move(upd_tx), std::move(hs_tx)});
  rpc::MainWork main_work = [inputs](rpc::Connection conn) { return acp_task(std::move(conn), std::move(*inputs)); };
  rt::spawn_detached([](Pipe to_agent, Pipe from_agent, std::vector<std::shared_ptr<rpc::Handler>> handlers,
                        rpc::MainWork work) -> rt::awaitable<void> {
    auto r = co_await rpc::run(std::move(to_agent), std::move(from_agent), std::move(handlers), std::move(work));
    if (!r) log_channel_error(r.error());
  }(std::move(in.value()), std::move(out.value()), std::move(handlers), std::move(main_work)));

  std::optional<Result<acp::Handshake, RpcError>> hs;
  if (c->config.timeout_secs > 0) {
    auto limit = std::chrono::seconds(std::min<std::uint64_t>(c->config.timeout_secs, 10'000'000'000ull));
    auto [how, value] = co_await hs_rx.receive_for(limit);
    if (how == HandshakeReply::Wait::TimedOut) {
      co_await proc->kill();
      co_return PaliskError(ErrorKind::Timeout, "initialize handshake got no answer within " +
                                                    std::to_string(c->config.timeout_secs) + " s");
    }
    hs = std::move(value);
  } else {
    hs = co_await hs_rx.receive();
  }
  if (!hs) co_return connection_error("ACP background task dropped before sending capabilities");
  if (!hs->ok()) co_return agent_error(hs->error());
  acp::Handshake handshake = std::move(hs->value());

  {
    // A reader still waiting on the previous connection's queue sees it closed (None) and lets
    // go of the slot; its unread items would be dropped with it anyway.
    rt::Queue<TurnEvent>::Receiver::Closer previous;
    {
      std::lock_guard lk(c->updates_closer_m);
      previous = std::exchange(c->updates_closer, upd_rx.closer());
    }
    previous.close();
    auto g = co_await c->updates.mutex.lock();
    c->updates.value = std::move(upd_rx);
  }
  {
    auto g = co_await c->conn.mutex.lock();
    c->conn.value = ClientInner{std::move(proc), handshake.capabilities, std::nullopt, handshake.agent_info,
                                std::move(cmd_tx), true};
  }
  {
    std::lock_guard lk(c->turns_m);
    c->turns.clear();  // results of the previous connection's turns can no longer arrive
  }
  co_return std::move(handshake.capabilities);
}

rt::awaitable<Status<>> disconnect(std::shared_ptr<Client> c) {
  auto g = co_await c->conn.mutex.lock();
  if (!c->conn.value) co_return ok();
  // Never wait for room here: the kill ends the task anyway.
  AcpCommand shutdown = cmd::Shutdown{};
  c->conn.value->commands.try_send(shutdown);
  co_return co_await c->conn.value->process->kill();
}

std::optional<Result<std::optional<CapabilitiesData>>> try_capabilities(Client& c) {
  auto g = c.conn.mutex.try_lock();
  if (!g) return std::nullopt;
  if (!c.conn.value) return Result<std::optional<CapabilitiesData>>(connection_error("client not connected"));
  return Result<std::optional<CapabilitiesData>>(c.conn.value->capabilities);
}

rt::awaitable<Result<std::optional<CapabilitiesData>>> capabilities(std::shared_ptr<Client> c) {
  auto g = co_await c->conn.mutex.lock();
  if (!c->conn.value) co_return connection_error("client not connected");
  co_return c->conn.value->capabilities;
}

rt::awaitable<Result<OptStr>> agent_info(std::shared_ptr<Client> c) {
  auto g = co_await c->conn.mutex.lock();
  if (!c->conn.value) co_return connection_error("client not connected");
  co_return c->conn.value->agent_info;
}

// ---------------------------------------------------------------- sessions

rt::awaitable<Result<std::string>> new_session(std::shared_ptr<Client> c, OptStr cwd, OptStr meta_json,
                                               OptStr mcp_servers_json) {
  cmd::NewSession command{cwd ? *cwd : current_dir(), std::move(meta_json), std::move(mcp_servers_json), {}};
  auto id = co_await exchange<std::string>(*c, std::move(command), "session reply dropped");
  if (id) co_await remember_session(*c, id.value());
  co_return id;
}

rt::awaitable<Result<std::string>> load_session(std::shared_ptr<Client> c, std::string session_id, OptStr cwd) {
  cmd::LoadSession command{std::move(session_id), cwd ? *cwd : current_dir(), {}};
  auto id = co_await exchange<std::string>(*c, std::move(command), "load session reply dropped");
  if (id) co_await remember_session(*c, id.value());
  co_return id;
}

rt::awaitable<Result<std::string>> fork_session(std::shared_ptr<Client> c, std::string session_id, OptStr cwd) {
  cmd::ForkSession command{std::move(session_id), cwd ? *cwd : current_dir(), {}};
  co_return co_await exchange<std::string>(*c, std::move(command), "fork session reply dropped");
}

rt::awaitable<Result<std::string>> list_sessions(std::shared_ptr<Client> c, OptStr cwd) {
  cmd::ListSessions command{std::move(cwd), {}};
  co_return co_await exchange<std::string>(*c, std::move(command), "list sessions reply dropped");
}

rt::awaitable<Result<std::string>> resume_session(std::shared_ptr<Client> c, std::string session_id, OptStr cwd) {
  cmd::ResumeSession command{std::move(session_id), cwd ? *cwd : current_dir(), {}};
  auto id = co_await exchange<std::string>(*c, std::move(command), "resume session reply dropped");
  if (id) co_await remember_session(*c, id.value());
  co_return id;
}

rt::awaitable<Status<>> set_session_mode(std::shared_ptr<Client> c, std::string session_id, std::string mode_id) {
  cmd::SetSessionMode command{std::move(session_id), std::move(mode_id), {}};
  co_return co_await exchange<Unit>(*c, std::move(command), "set mode reply dropped");
}

rt::awaitable<Result<std::string>> set_config_option(std::shared_ptr<Client> c, std::string session_id,
                                                     std::string config_id, std::string value) {
  cmd::SetConfigOption command{std::move(session_id), std::move(config_id), std::move(value), {}};
  co_return co_await exchange<std::string>(*c, std::move(command), "set config reply dropped");
}

rt::awaitable<Status<>> cancel_session(std::shared_ptr<Client> c, std::string session_id) {
  auto tx = co_await command_sender(*c);
  if (!tx) co_return std::move(tx.error());
  AcpCommand command = cmd::CancelSession{std::move(session_id)};
  if (!co_await tx.value().send(std::move(command))) co_return connection_error("background task closed");
  co_return ok();
}

// ---------------------------------------------------------------- turns

rt::awaitable<Result<std::vector<MessageData>>> prompt(std::shared_ptr<Client> c, std::string text, OptStr session_id,
                                                       OptStr content_json) {
  auto resolved = co_await resolve_session(*c, std::move(session_id));
  if (!resolved) co_return std::move(resolved.error());
  std::uint64_t turn = c->next_turn++;
  auto [result_tx, result_rx] = TurnResult::make();
  AcpCommand p = cmd::Prompt{resolved.value().session_id, std::move(text), std::move(content_json), turn,
                              std::move(result_tx)};
  if (!co_await resolved.value().commands.send(std::move(p)))
    co_return connection_error("background task closed");

  std::string collected;
  bool seen_text = false;
  OptStr stop_reason;
  {
    auto g = co_await c->updates.mutex.lock();
    if (!c->updates.value) co_return connection_error("update channel not initialized");
    for (bool done = false; !done;) {
      auto item = co_await c->updates.value->recv();
      if (!item) break;
      if (auto* t = std::get_if<acp::ev::Text>(&*item)) {
        collected += t->text;
        seen_text = true;
      } else if (auto* th = std::get_if<acp::ev::Thought>(&*item)) {
        if (!seen_text) collected += th->text;
      } else if (auto* d = std::get_if<acp::ev::Done>(&*item)) {
        stop_reason = d->stop_reason;
        if (d->turn != turn) take_turn(*c, d->turn);  // that turn's result is not collected now
        done = true;
      }
    }
  }
  auto result = co_await result_rx.receive();
  if (!result) co_return connection_error("prompt reply dropped");
  if (!result->ok()) co_return std::move(result->error());
  std::vector<MessageData> out;
  if (!collected.empty()) {
    MessageData m;
    m.role = MessageRole::Assistant;
    m.content.push_back(ContentBlockData{ContentType::Text, std::move(collected), {}, {}, {}});
    m.session_id = resolved.value().session_id;
    m.stop_reason = std::move(stop_reason);
    out.push_back(std::move(m));
  }
  co_return out;
}

rt::awaitable<Status<>> send_prompt(std::shared_ptr<Client> c, std::string text, OptStr session_id,
                                    OptStr content_json) {
  auto resolved = co_await resolve_session(*c, std::move(session_id));
  if (!resolved) co_return std::move(resolved.error());
  std::uint64_t turn = c->next_turn++;
  auto [result_tx, result_rx] = TurnResult::make();
  {
    // Registered before the command can run, so its Done always finds it.
    std::lock_guard lk(c->turns_m);
    c->turns.emplace(turn, std::move(result_rx));
  }
  AcpCommand p = cmd::Prompt{std::move(resolved.value().session_id), std::move(text), std::move(content_json), turn,
                              std::move(result_tx)};
  if (!co_await resolved.value().commands.send(std::move(p))) {
    take_turn(*c, turn);
    co_return connection_error("background task closed");
  }
  co_return ok();
}

namespace {

// Whether the front item can be taken now; if it is a Done whose turn result is on its way,
// the receiver to wait on.
bool front_ready(Client& c, std::optional<TurnResult::Receiver>& pending) {
  std::optional<std::uint64_t> turn;
  bool any = c.updates.value->peek([&](const TurnEvent& e) {
    if (auto* d = std::get_if<acp::ev::Done>(&e)) turn = d->turn;
  });
  if (!any || !turn) return true;  // closed or drained is "ready" too: take_update decides
  std::lock_guard lk(c.turns_m);
  auto it = c.turns.find(*turn);
  if (it == c.turns.end() || it->second.answered()) return true;
  pending = it->second;
  return false;
}

}  // namespace

std::optional<Result<UpdateTicket>> try_ready_update(Client& c) {
  auto g = c.updates.mutex.try_lock();
  if (!g) return std::nullopt;
  if (!c.updates.value) return Result<UpdateTicket>(connection_error("update channel not initialized"));
  if (!c.updates.value->peek([](const TurnEvent&) {})) {
    if (!c.updates.value->finished()) return std::nullopt;  // empty: wait
    return Result<UpdateTicket>(UpdateTicket{std::move(*g)});
  }
  std::optional<TurnResult::Receiver> pending;
  if (!front_ready(c, pending)) return std::nullopt;
  return Result<UpdateTicket>(UpdateTicket{std::move(*g)});
}

rt::awaitable<Result<UpdateTicket>> ready_update(std::shared_ptr<Client> c) {
  auto g = co_await c->updates.mutex.lock();
  if (!c->updates.value) co_return connection_error("update channel not initialized");
  for (;;) {
    if (!co_await c->updates.value->wait_ready()) break;  // closed
    std::optional<TurnResult::Receiver> pending;
    if (front_ready(*c, pending)) break;
    co_await pending->wait_answered();
  }
  co_return UpdateTicket{std::move(g)};
}

Received take_update(Client& c, UpdateTicket&) {
  TurnEvent item;
  if (c.updates.value->try_recv(item) != rt::Queue<TurnEvent>::Try::Ok) return std::optional<SessionUpdateData>();
  auto* done = std::get_if<acp::ev::Done>(&item);
  if (!done) return std::optional<SessionUpdateData>(acp::to_session_update(item));
  std::optional<Result<Unit>> result;
  if (auto turn = take_turn(c, done->turn)) {
    if (auto r = turn->try_receive(); r && *r) result = std::move(**r);
  }
  return after_turn(std::move(result), done->stop_reason);
}

std::string current_dir() {
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    if (::getcwd(buf.data(), buf.size())) break;
    if (errno != ERANGE) return {};
    buf.resize(buf.size() * 2);
  }
  // Replace invalid UTF-8 with U+FFFD.
  std::string in(buf.data()), out;
  for (std::size_t i = 0; i < in.size();) {
    auto b = static_cast<unsigned char>(in[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    bool valid = len > 0 && i + static_cast<std::size_t>(len) <= in.size();
    for (int k = 1; valid && k < len; ++k) valid = (static_cast<unsigned char>(in[i + k]) >> 6) == 2;
    if (valid && len > 1) {
      std::uint32_t cp = b & (0x7F >> len);
      for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(in[i + k]) & 0x3F);
      valid = !(len == 2 && cp < 0x80) && !(len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) &&
              !(len == 4 && (cp < 0x10000 || cp > 0x10FFFF));
    }
    if (valid) {
      out.append(in, i, static_cast<std::size_t>(len));
      i += static_cast<std::size_t>(len);
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace palisk::client
