// Native forms of the records that cross the boundary. Plain data: the binding layer turns them
// into the Python value classes and back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace palisk {

enum class UpdateKind : std::uint8_t {
  TextDelta = 0,
  ThoughtDelta = 1,
  ToolUseStart = 2,
  ToolUseEnd = 3,
  ToolUseUpdate = 4,
  ModeChange = 5,
  Plan = 6,
  ConfigUpdate = 7,
  CommandsUpdate = 8,
  Usage = 9,
  SessionInfo = 10,
  Done = 11,
  Error = 12,
  RateLimit = 13,
};

enum class ContentType : std::uint8_t { Text = 0, ToolUse = 1, ToolResult = 2, Image = 3, Error = 4 };

enum class MessageRole : std::uint8_t { User = 0, Assistant = 1, System = 2, Tool = 3 };

enum class HookType : std::uint8_t {
  PreToolUse = 0,
  PostToolUse = 1,
  PromptSubmit = 2,
  ResponseReceived = 3,
  SessionCreated = 4,
  SessionDestroyed = 5,
  Connected = 6,
  Disconnected = 7,
};

using OptStr = std::optional<std::string>;

struct ContentBlockData {
  ContentType content_type = ContentType::Text;
  OptStr text, tool_name, tool_input, tool_use_id;
};

struct MessageData {
  MessageRole role = MessageRole::User;
  std::vector<ContentBlockData> content;
  OptStr session_id, stop_reason;
};

struct SessionUpdateData {
  UpdateKind kind = UpdateKind::TextDelta;
  OptStr text, tool_name, tool_input, tool_use_id, error, stop_reason, tool_kind, tool_status, tool_content,
      tool_locations, mode_id, plan_json, config_json, commands_json, usage_json, session_info_json, rate_limit_json;
};

struct CapabilitiesData {
  bool sessions = false;
  bool tools = false;
  bool proxy = false;
  std::vector<std::string> modes;
  std::vector<std::string> models;
};

struct ToolDefinitionData {
  std::string name, description, input_schema;
};

}  // namespace palisk
