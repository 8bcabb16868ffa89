// The shared machinery of the one-byte enumerations exposed to Python (UpdateKind, ContentType,
// MessageRole, HookType): one class per enumeration with a member object per value, created once
// as class attributes; repr "Class.Member"; int(); equality with members of the same class and
// with integer-index objects, NotImplemented otherwise; no ordering, no hash, no constructor, no
// subclassing. Members read from other objects' fields are fresh objects.
#pragma once

#include <cstdint>

#include "py/py.hpp"

namespace palisk::py {

struct EnumDef {
  const char* qualified_name;  // "palisk_sdk._palisk_sdk.UpdateKind"
  const char* name;            // "UpdateKind"
  const char* doc;
  const char* const* members;  // member names, indexed by value (values 0..count-1)
  int count;
};

class EnumType {
 public:
  explicit constexpr EnumType(const EnumDef& def) : def_(def) {}

  // Creates the class with its members and adds it to the module. GIL.
  int register_in(PyObject* module);

  // A fresh member object for `value` (a field read). GIL; nullptr on error.
  PyObject* make(std::uint8_t value) const;
  // True if `o` is a member of this enumeration (never an int).
  bool check(PyObject* o) const { return type_ && PyObject_TypeCheck(o, type_); }
  std::uint8_t value_of(PyObject* o) const { return unbox<std::uint8_t>(o); }
  // Argument conversion: a member of this enumeration only; TypeError naming the argument.
  bool arg(PyObject* o, const char* argname, std::uint8_t& out) const;
  const char* member_name(std::uint8_t value) const {
    return value < def_.count ? def_.members[value] : "?";
  }
  const EnumDef& def() const { return def_; }
  PyTypeObject* type() const { return type_; }

 private:
  const EnumDef& def_;
  PyTypeObject* type_ = nullptr;
};

extern EnumType update_kind_enum;
extern EnumType content_type_enum;
extern EnumType message_role_enum;
extern EnumType hook_type_enum;

}  // namespace palisk::py
