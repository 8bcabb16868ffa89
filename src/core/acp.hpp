// The Agent Client Protocol as the client speaks it: the messages it writes (initialize, session
// requests, prompts, permission answers) and the reading of what the agent sends (initialize
// result, session updates reduced to TurnEvents, permission requests). Pure functions over JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/records.hpp"
#include "core/rpc.hpp"

namespace palisk::acp {

using rpc::Json;
using rpc::RpcError;
using OrderedJson = nlohmann::ordered_json;

// ---------------------------------------------------------------- the update queue's items

namespace ev {
struct Text { std::string text; };
struct Thought { std::string text; };
struct ToolStart { std::string title, input, id, kind, status; };
struct ToolProgress { std::string id; OptStr status, content, locations; };
struct ToolEnd { std::string id; };
struct Mode { std::string mode_id; };
struct Plan { std::string json; };
struct Config { std::string json; };
struct Commands { std::string json; };
struct Usage { std::string json; };
struct SessionInfo { std::string json; };
// End of a prompt turn; `turn` numbers the prompt so its result can be paired with it.
struct Done { OptStr stop_reason; std::uint64_t turn = 0; };
struct Extension { std::string method, params; };
}  // namespace ev

using TurnEvent = std::variant<ev::Text, ev::Thought, ev::ToolStart, ev::ToolProgress, ev::ToolEnd, ev::Mode, ev::Plan,
                               ev::Config, ev::Commands, ev::Usage, ev::SessionInfo, ev::Done, ev::Extension>;

// The SessionUpdate fields of an item (for Done: kind Done with its stop reason).
SessionUpdateData to_session_update(const TurnEvent& e);

// Reduces the params of a "session/update" notification to zero, one or two items. Params that
// do not decode fail with the parse error. An update kind this client does not know yields no
// item (newer agents send kinds it does not know).
Result<std::vector<TurnEvent>, RpcError> read_session_update(const Json& params);

// An extension notification ("_name"): `method` without its underscore, params as received.
TurnEvent extension_event(std::string method, std::string raw_params);

// ---------------------------------------------------------------- handshake

Json initialize_params();

struct Handshake {
  CapabilitiesData capabilities;
  OptStr agent_info;  // {"name":..,"title":..,"version":..} compact, or absent
};
Result<Handshake, RpcError> read_initialize_result(const Json& result);

// ---------------------------------------------------------------- session requests

Json new_session_params(const std::string& cwd, const OptStr& meta_json, const OptStr& mcp_servers_json);
// The sessionId of a new-session result; the parse error when it does not decode.
Result<std::string, RpcError> read_new_session_result(const Json& result);
Json load_session_params(const std::string& session_id, const std::string& cwd);
// Load and set-mode results must decode as their (all-optional) protocol objects.
Status<RpcError> check_optional_object_result(const Json& result);
Json set_mode_params(const std::string& session_id, const std::string& mode_id);
Json cancel_params(const std::string& session_id);

// ---------------------------------------------------------------- prompts

// content_json, when it parses as an array of content blocks, is the prompt; otherwise one text
// block holding `text`.
Json prompt_params(const std::string& session_id, const std::string& text, const OptStr& content_json);
// The stop reason's name ("EndTurn", ...) of a prompt result; the parse error otherwise.
Result<std::string, RpcError> read_prompt_result(const Json& result);

// ---------------------------------------------------------------- permission requests

struct PermissionOption {
  std::string option_id;
  std::string kind;  // allow_once, allow_always, reject_once, reject_always
};

struct PermissionQuery {
  std::string tool_name;   // toolCall.title, or ""
  std::string tool_input;  // rawInput as sorted compact JSON, or "{}"
  std::string tool_use_id;
  std::string session_id;
  std::vector<PermissionOption> options;
};

Result<PermissionQuery, RpcError> read_permission_request(const Json& params);
// The answer: cancelled when denied; otherwise the first allow option, else the first option,
// else cancelled.
Json permission_answer(const PermissionQuery& q, bool denied);

}  // namespace palisk::acp
