// Value classes: the shared machinery for records whose fields are all strings, and the
// constructors and readers that other areas use to pass records across the boundary (built in
// types.cpp). Rules shared by every value class: read-only attributes that return fresh objects,
// copying constructors taking positional or keyword arguments in signature order, argument
// errors naming the argument, no subclassing, no instance dict, identity equality and hash.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/records.hpp"
#include "core/transport.hpp"
#include "py/py.hpp"

namespace palisk::py {

// ---------------------------------------------------------------- string records

struct StrField {
  const char* name;
  const char* doc;  // attribute docstring, or nullptr for none
  bool required;
};

using StrValues = std::vector<std::optional<std::string>>;

struct StrRecordDef {
  const char* qualified_name;  // "palisk_sdk._palisk_sdk.ToolDefinition"
  const char* doc;             // "ToolDefinition(name, description, input_schema)\n--\n\n<class docstring>"
  std::vector<StrField> fields;
  std::string (*repr)(const StrValues& values);
};

// Creates the class, adds it to the module and returns it (kept for the life of the process).
// The definition must outlive the process (a static). GIL.
PyTypeObject* register_str_record(PyObject* module, const StrRecordDef& def);
// The field values of an instance of a string-record class (in field order).
const StrValues& str_record_values(PyObject* o);
// A new instance. GIL.
PyObject* make_str_record(PyTypeObject* tp, StrValues values);

// ---------------------------------------------------------------- records other areas use
// (types.cpp). Each is GIL.

PyObject* make_session_update(SessionUpdateData data);
PyObject* make_message(MessageData data);
PyObject* make_capabilities(CapabilitiesData data);

// Reads a ClientConfig into its native form; false (no error set) if `o` is not a ClientConfig.
bool read_client_config(PyObject* o, AgentConfig& out);
PyTypeObject* client_config_type();
// Reads a ToolDefinition; false (no error set) if `o` is not a ToolDefinition.
bool read_tool_definition(PyObject* o, ToolDefinitionData& out);

}  // namespace palisk::py
