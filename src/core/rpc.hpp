// The JSON-RPC 2.0 channel to one agent: newline-framed compact JSON over the agent's stdin and
// stdout, UUID v4 string ids for our requests, a pending-call table keyed by JSON id, handlers
// offered each incoming request or notification in order, strict one-at-a-time dispatch in
// arrival order, and the rule that the first activity to finish stops the whole channel.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/error.hpp"
#include "core/runtime.hpp"
#include "core/transport.hpp"

namespace palisk::rpc {

// Generic JSON: object members sorted by name (byte order) at every depth.
using Json = nlohmann::json;

namespace code {
inline constexpr std::int32_t parse_error = -32700;
inline constexpr std::int32_t invalid_request = -32600;
inline constexpr std::int32_t method_not_found = -32601;
inline constexpr std::int32_t invalid_params = -32602;
inline constexpr std::int32_t internal_error = -32603;
inline constexpr std::int32_t request_cancelled = -32800;
inline constexpr std::int32_t auth_required = -32000;
inline constexpr std::int32_t resource_not_found = -32002;
}  // namespace code

struct RpcError {
  std::int32_t code = code::internal_error;
  std::string message;
  std::optional<Json> data;  // a present null is kept (it shows in the display text)

  // An error made from a code, with the channel's own text for it ("Parse error", ...).
  static RpcError from_code(std::int32_t code, std::optional<Json> data = std::nullopt);
  // The message (or the code in decimal when the message is empty), then, when data is
  // present, ": " and the data as JSON indented by two spaces.
  std::string display() const;
};

// Request id: string, unsigned 64-bit integer, or null.
struct RpcId {
  std::variant<std::monostate, std::uint64_t, std::string> value;
  Json to_json() const;
};

// The answering end of one incoming request. Answer exactly once; an answer after the channel's
// outgoing side has stopped fails with -32000 "send failed because receiver is gone".
class Responder {
 public:
  Status<RpcError> respond(Result<Json, RpcError> answer);
  const RpcId& id() const { return id_; }

 private:
  friend class Channel;
  friend class Connection;
  struct Out;
  Responder(RpcId id, std::shared_ptr<Out> out) : id_(std::move(id)), out_(std::move(out)) {}
  RpcId id_;
  std::shared_ptr<Out> out_;
};

// One entry of the ordered handler list.
class Handler {
 public:
  virtual ~Handler() = default;
  // Offered an incoming request (`is_request`) or notification: true claims it.
  virtual bool claims(std::string_view method, bool is_request) const = 0;
  // Handles a claimed message; `params` is JSON null when the message had none, and `raw_params`
  // is the params member's text as received (empty when absent). A request comes with its
  // responder, which must be answered exactly once. An error stops the whole channel; nothing is
  // written back for the message.
  virtual rt::awaitable<Status<RpcError>> handle(std::string method, Json params, std::string raw_params,
                                                 std::optional<Responder> responder) = 0;
};

// What the channel's main work uses to talk to the agent. Cheap to copy; usable from any task.
class Connection {
 public:
  // Sends a request and waits for its answer. Fails with the internal error whose data is
  // "response to `<method>` never received: oneshot canceled" when the channel stops first.
  // A caller that stops waiting removes its entry from the pending table.
  rt::awaitable<Result<Json, RpcError>> request(std::string method, Json params);
  // Queues a notification for writing.
  Status<RpcError> notify(std::string method, Json params);
  // How many calls wait for their answer now (diagnostics and tests).
  std::size_t pending() const;

 private:
  friend class Channel;
  struct State;
  explicit Connection(std::shared_ptr<State> s) : s_(std::move(s)) {}
  std::shared_ptr<State> s_;
};

using MainWork = std::function<rt::awaitable<Status<RpcError>>(Connection)>;

// Runs the channel over the two pipes until the first of these finishes: the main work, the end
// of the agent's output (a normal end), a read or write failure, or a failing handler. The end
// of the output and read failures count once every line read before them has been dispatched,
// so nothing the agent wrote before leaving is lost. The others are cancelled; queued outgoing
// messages are dropped; pending calls fail; both pipes are closed. Resolves to the result of the
// activity that finished first. (Result has no default value, so wrap the call in a coroutine
// returning void before handing it to co_spawn.)
rt::awaitable<Status<RpcError>> run(Pipe to_agent, Pipe from_agent, std::vector<std::shared_ptr<Handler>> handlers,
                                    MainWork main_work);

// True for the error of a call that the channel stopped before its answer came.
bool is_unanswered(const RpcError& e);

// Compact text of a generic JSON value (members sorted). Throws nlohmann::json::exception for
// strings that are not valid UTF-8.
std::string dump(const Json& j);

}  // namespace palisk::rpc
