// String-record classes: one implementation serves every value class whose fields are strings.
#include "py/records.hpp"

#include <cstring>
#include <new>

namespace palisk::py {

namespace {

struct StrRecord {
  const StrRecordDef* def;
  StrValues values;
};

PyObject* record_get(PyObject* self, void* closure) {
  const auto& rec = unbox<StrRecord>(self);
  auto i = reinterpret_cast<std::size_t>(closure);
  return opt_str(rec.values[i]).release();
}

const StrRecordDef* def_of(PyTypeObject* tp);

PyObject* record_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  const StrRecordDef* def = def_of(tp);
  if (!def) return no_constructor(tp, args, kwargs);
  std::size_t n = def->fields.size();
  std::vector<PyObject*> raw(n, nullptr);
  std::size_t required = 0;
  while (required < n && def->fields[required].required) ++required;
  std::vector<const char*> names(n);
  for (std::size_t i = 0; i < n; ++i) names[i] = def->fields[i].name;
  const char* short_name = std::strrchr(def->qualified_name, '.') + 1;
  if (!parse_tuple(short_name, args, kwargs, names.data(), n, required, raw.data())) return nullptr;
  StrValues values(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (def->fields[i].required) {
      std::string s;
      if (!arg_str(raw[i], def->fields[i].name, s)) return nullptr;
      values[i] = std::move(s);
    } else if (!arg_opt_str(raw[i], def->fields[i].name, values[i])) {
      return nullptr;
    }
  }
  return box<StrRecord>(tp, StrRecord{def, std::move(values)});
}

PyObject* record_repr(PyObject* self) {
  const auto& rec = unbox<StrRecord>(self);
  return str(rec.def->repr(rec.values)).release();
}

struct Registered {
  PyTypeObject* type;
  const StrRecordDef* def;
};
std::vector<Registered>& registry() {
  static auto* r = new std::vector<Registered>();
  return *r;
}

const StrRecordDef* def_of(PyTypeObject* tp) {
  for (const auto& r : registry())
    if (r.type == tp) return r.def;
  return nullptr;
}

}  // namespace

PyTypeObject* register_str_record(PyObject* module, const StrRecordDef& def) {
  // Getters live as long as the type: allocate them once and never free them.
  auto* getset = new PyGetSetDef[def.fields.size() + 1]();
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    getset[i] = PyGetSetDef{def.fields[i].name, record_get, nullptr, def.fields[i].doc,
                            reinterpret_cast<void*>(i)};
  }
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(def.doc)},
      {Py_tp_new, reinterpret_cast<void*>(record_new)},
      {Py_tp_dealloc, reinterpret_cast<void*>(box_dealloc<StrRecord>)},
      {Py_tp_repr, reinterpret_cast<void*>(record_repr)},
      {Py_tp_getset, getset},
      {0, nullptr},
  };
  PyType_Spec spec = {def.qualified_name, static_cast<int>(sizeof(Box<StrRecord>)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  PyTypeObject* tp = add_type(module, &spec);
  if (tp) registry().push_back({tp, &def});
  return tp;
}

const StrValues& str_record_values(PyObject* o) { return unbox<StrRecord>(o).values; }

PyObject* make_str_record(PyTypeObject* tp, StrValues values) {
  return box<StrRecord>(tp, StrRecord{def_of(tp), std::move(values)});
}

}  // namespace palisk::py
