// One implementation of enumeration behaviour, instantiated per enumeration.
#include "py/enums.hpp"

#include <string>

namespace palisk::py {

namespace {

constexpr const char* kUpdateKinds[] = {"TextDelta", "ThoughtDelta", "ToolUseStart", "ToolUseEnd", "ToolUseUpdate",
                                        "ModeChange", "Plan", "ConfigUpdate", "CommandsUpdate", "Usage",
                                        "SessionInfo", "Done", "Error", "RateLimit"};
constexpr const char* kContentTypes[] = {"Text", "ToolUse", "ToolResult", "Image", "Error"};
constexpr const char* kMessageRoles[] = {"User", "Assistant", "System", "Tool"};
constexpr const char* kHookTypes[] = {"PreToolUse", "PostToolUse", "PromptSubmit", "ResponseReceived",
                                      "SessionCreated", "SessionDestroyed", "Connected", "Disconnected"};

constexpr EnumDef kUpdateKindDef{"palisk_sdk._palisk_sdk.UpdateKind", "UpdateKind",
                                 "The kind of streaming update from the agent.", kUpdateKinds, 14};
constexpr EnumDef kContentTypeDef{"palisk_sdk._palisk_sdk.ContentType", "ContentType",
                                  "Content type within a message.", kContentTypes, 5};
constexpr EnumDef kMessageRoleDef{"palisk_sdk._palisk_sdk.MessageRole", "MessageRole",
                                  "The role of a message sender.", kMessageRoles, 4};
constexpr EnumDef kHookTypeDef{"palisk_sdk._palisk_sdk.HookType", "HookType",
                               "Hook types corresponding to ACP lifecycle events.", kHookTypes, 8};

// The EnumType owning a member's class: found through the class itself, so one set of slot
// functions serves every enumeration.
EnumType* owner_of(PyTypeObject* tp) {
  for (EnumType* e : {&update_kind_enum, &content_type_enum, &message_role_enum, &hook_type_enum}) {
    if (e->type() == tp) return e;
  }
  return nullptr;
}

PyObject* enum_repr(PyObject* self) {
  EnumType* e = owner_of(Py_TYPE(self));
  if (!e) return PyUnicode_FromString("?");
  std::string s = std::string(e->def().name) + "." + e->member_name(unbox<std::uint8_t>(self));
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(unbox<std::uint8_t>(self)); }

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) return Py_NewRef(Py_NotImplemented);
  // Either operand may be the member (reflected comparisons come here with self = member).
  PyObject* member = self;
  PyObject* rhs = other;
  if (!owner_of(Py_TYPE(member))) std::swap(member, rhs);
  long long mine = unbox<std::uint8_t>(member);
  bool equal;
  if (Py_TYPE(rhs) == Py_TYPE(member)) {
    equal = mine == unbox<std::uint8_t>(rhs);
  } else if (PyIndex_Check(rhs) && !owner_of(Py_TYPE(rhs))) {
    Ref idx = Ref::steal(PyNumber_Index(rhs));
    if (!idx) {
      PyErr_Clear();
      return Py_NewRef(Py_NotImplemented);
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(idx.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      return Py_NewRef(Py_NotImplemented);
    }
    if (overflow) return Py_NewRef(Py_NotImplemented);  // does not fit 64 bits
    equal = v == mine;
  } else {
    return Py_NewRef(Py_NotImplemented);
  }
  bool result = op == Py_EQ ? equal : !equal;
  return Py_NewRef(result ? Py_True : Py_False);
}

}  // namespace

EnumType update_kind_enum{kUpdateKindDef};
EnumType content_type_enum{kContentTypeDef};
EnumType message_role_enum{kMessageRoleDef};
EnumType hook_type_enum{kHookTypeDef};

int EnumType::register_in(PyObject* module) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(def_.doc)},
      {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
      {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<std::uint8_t>)},
      {Py_tp_repr, reinterpret_cast<void*>(enum_repr)},
      {Py_tp_richcompare, reinterpret_cast<void*>(enum_richcompare)},
      {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
      {Py_nb_int, reinterpret_cast<void*>(enum_int)},
      {0, nullptr},
  };
  PyType_Spec spec = {def_.qualified_name, static_cast<int>(sizeof(Box<std::uint8_t>)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  type_ = add_type(module, &spec);
  if (!type_) return -1;
  for (int v = 0; v < def_.count; ++v) {
    Ref member = Ref::steal(make(static_cast<std::uint8_t>(v)));
    if (!member) return -1;
    if (set_class_attr(type_, def_.members[v], member.get()) < 0) return -1;
  }
  return 0;
}

PyObject* EnumType::make(std::uint8_t value) const { return box<std::uint8_t>(type_, value); }

bool EnumType::arg(PyObject* o, const char* argname, std::uint8_t& out) const {
  if (!o) {
    PyErr_Format(PyExc_TypeError, "missing required argument '%s'", argname);
    return false;
  }
  if (!check(o)) return arg_type_error(argname, o, def_.name);
  out = value_of(o);
  return true;
}

}  // namespace palisk::py
