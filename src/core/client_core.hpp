// The ACP client without Python: the connection state, the command exchange with the background
// task `acp_task`, the handlers registered on the channel, session operations, prompt turns and
// the update stream. The binding layer (client.cpp) turns these into awaitable methods.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/acp.hpp"
#include "core/error.hpp"
#include "core/records.hpp"
#include "core/runtime.hpp"
#include "core/transport.hpp"

namespace palisk::client {

using acp::TurnEvent;

// Decides on the agent's permission requests (the binding asks the Python callback).
class PermissionGate {
 public:
  virtual ~PermissionGate() = default;
  // True when the request is denied. Runs on the channel's dispatcher: while it waits, no other
  // message from the agent is handled.
  virtual rt::awaitable<bool> denied(const acp::PermissionQuery& query) = 0;
};

// ---- commands to the background task

template <class T>
using Reply = typename rt::Oneshot<Result<T>>::Sender;

namespace cmd {
struct NewSession { std::string cwd; OptStr meta_json, mcp_servers_json; Reply<std::string> reply; };
struct LoadSession { std::string session_id, cwd; Reply<std::string> reply; };
struct SetSessionMode { std::string session_id, mode_id; Reply<Unit> reply; };
struct SetConfigOption { std::string session_id, config_id, value; Reply<std::string> reply; };
struct CancelSession { std::string session_id; };
struct ForkSession { std::string session_id, cwd; Reply<std::string> reply; };
struct ListSessions { OptStr cwd; Reply<std::string> reply; };
struct ResumeSession { std::string session_id, cwd; Reply<std::string> reply; };
struct Prompt { std::string session_id, text; OptStr content_json; std::uint64_t turn = 0; Reply<Unit> reply; };
struct Shutdown {};
}  // namespace cmd

using AcpCommand = std::variant<cmd::NewSession, cmd::LoadSession, cmd::SetSessionMode, cmd::SetConfigOption,
                                cmd::CancelSession, cmd::ForkSession, cmd::ListSessions, cmd::ResumeSession, cmd::Prompt,
                                cmd::Shutdown>;

// ---- state

// One connected agent.
struct ClientInner {
  std::unique_ptr<AgentProcess> process;
  std::optional<CapabilitiesData> capabilities;
  OptStr default_session;
  OptStr agent_info;
  rt::Queue<AcpCommand>::Sender commands;
  bool initialized = true;
};

using TurnResult = rt::Oneshot<Result<Unit>>;

struct Client {
  explicit Client(AgentConfig c, std::shared_ptr<PermissionGate> g) : config(std::move(c)), gate(std::move(g)) {}

  const AgentConfig config;
  const std::shared_ptr<PermissionGate> gate;
  rt::Locked<std::optional<ClientInner>> conn;                       // the connection slot
  rt::Locked<std::optional<rt::Queue<TurnEvent>::Receiver>> updates;  // the update-receiver slot
  // Closes the installed update queue without its lock, so that a reconnect never waits behind
  // a reader that waits for an agent which is being replaced.
  std::mutex updates_closer_m;
  rt::Queue<TurnEvent>::Receiver::Closer updates_closer;
  // Results of turns started by send_prompt(), by turn number, collected by the recv_update()
  // that reads the turn's Done.
  std::mutex turns_m;
  std::map<std::uint64_t, TurnResult::Receiver> turns;
  std::atomic<std::uint64_t> next_turn{1};
};

// ---- operations (each may run on any runtime strand)

rt::awaitable<Result<CapabilitiesData>> connect(std::shared_ptr<Client> c);
rt::awaitable<Status<>> disconnect(std::shared_ptr<Client> c);
// Without waiting when the slot's lock is free (nullopt: it is not).
std::optional<Result<std::optional<CapabilitiesData>>> try_capabilities(Client& c);
rt::awaitable<Result<std::optional<CapabilitiesData>>> capabilities(std::shared_ptr<Client> c);
rt::awaitable<Result<OptStr>> agent_info(std::shared_ptr<Client> c);

rt::awaitable<Result<std::string>> new_session(std::shared_ptr<Client> c, OptStr cwd, OptStr meta_json,
                                               OptStr mcp_servers_json);
rt::awaitable<Result<std::string>> load_session(std::shared_ptr<Client> c, std::string session_id, OptStr cwd);
rt::awaitable<Result<std::string>> fork_session(std::shared_ptr<Client> c, std::string session_id, OptStr cwd);
rt::awaitable<Result<std::string>> list_sessions(std::shared_ptr<Client> c, OptStr cwd);
rt::awaitable<Result<std::string>> resume_session(std::shared_ptr<Client> c, std::string session_id, OptStr cwd);
rt::awaitable<Status<>> set_session_mode(std::shared_ptr<Client> c, std::string session_id, std::string mode_id);
rt::awaitable<Result<std::string>> set_config_option(std::shared_ptr<Client> c, std::string session_id,
                                                     std::string config_id, std::string value);
rt::awaitable<Status<>> cancel_session(std::shared_ptr<Client> c, std::string session_id);

rt::awaitable<Result<std::vector<MessageData>>> prompt(std::shared_ptr<Client> c, std::string text, OptStr session_id,
                                                       OptStr content_json);
rt::awaitable<Status<>> send_prompt(std::shared_ptr<Client> c, std::string text, OptStr session_id,
                                    OptStr content_json);

// recv_update(): an update, or nullopt for Python's None.
using Received = Result<std::optional<SessionUpdateData>>;
// The update-receiver lock, held while the next update can be taken without waiting (or the
// queue is closed). Taking happens only for a caller that still waits (see the bridge), so a
// cancelled recv_update() leaves the item in the queue for the next reader.
struct UpdateTicket {
  rt::AsyncMutex::Guard guard;
};
// Without waiting: nullopt when the lock is taken or nothing is ready; errors come ready.
std::optional<Result<UpdateTicket>> try_ready_update(Client& c);
rt::awaitable<Result<UpdateTicket>> ready_update(std::shared_ptr<Client> c);
// Takes the update a ticket stands for (once).
Received take_update(Client& c, UpdateTicket& ticket);

// The host's current directory as text (invalid UTF-8 replaced by U+FFFD), or "" if unknown.
std::string current_dir();

}  // namespace palisk::client
