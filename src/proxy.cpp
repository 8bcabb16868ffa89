// ProxyConfig (a value class with a list field) and NativeProxyChain, the Python face of the
// proxy chain: a chain behind an async mutex, shared with the awaitables in flight. The chain is
// only edited and validated here; nothing is spawned.
#include <memory>

#include "areas.hpp"
#include "core/proxy_chain.hpp"
#include "core/quote.hpp"
#include "py/bridge.hpp"
#include "py/state.hpp"

namespace palisk {

namespace {

using py::Deliver;
using py::Ref;
using ChainPtr = py::SharedState<ProxyChain>;

PyTypeObject* g_proxy_config_type = nullptr;

// ---------------------------------------------------------------- ProxyConfig

PyObject* config_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  PyObject* a[2];
  if (!py::parse_tuple("ProxyConfig", args, kwargs, {"name", "command"}, 2, a)) return nullptr;
  ProxyConfigData d;
  if (!py::arg_str(a[0], "name", d.name) || !py::arg_str_list(a[1], "command", d.command)) return nullptr;
  return py::box(tp, std::move(d));
}

PyObject* config_name(PyObject* self, void*) { return py::str(py::unbox<ProxyConfigData>(self).name).release(); }

PyObject* config_command(PyObject* self, void*) {
  return py::str_list(py::unbox<ProxyConfigData>(self).command).release();
}

PyObject* config_repr(PyObject* self) {
  return py::str("ProxyConfig(name=" + quote(py::unbox<ProxyConfigData>(self).name) + ")").release();
}

PyGetSetDef config_getset[] = {
    {"name", config_name, nullptr, "Display name for the proxy.", nullptr},
    {"command", config_command, nullptr, "Shell command to spawn the proxy subprocess.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot config_slots[] = {
    {Py_tp_doc, const_cast<char*>("ProxyConfig(name, command)\n--\n\nConfiguration for a single proxy in the chain.")},
    {Py_tp_new, reinterpret_cast<void*>(config_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::box_dealloc<ProxyConfigData>)},
    {Py_tp_repr, reinterpret_cast<void*>(config_repr)},
    {Py_tp_getset, config_getset},
    {0, nullptr},
};

PyType_Spec config_spec = {"palisk_sdk._palisk_sdk.ProxyConfig", static_cast<int>(sizeof(py::Box<ProxyConfigData>)),
                           0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, config_slots};

bool arg_proxy(PyObject* o, ProxyConfigData& out) {
  if (!o) {
    PyErr_SetString(PyExc_TypeError, "missing required argument 'proxy'");
    return false;
  }
  if (!py::is_instance(o, g_proxy_config_type)) return py::arg_type_error("proxy", o, "ProxyConfig");
  out = py::unbox<ProxyConfigData>(o);
  return true;
}

// ---------------------------------------------------------------- NativeProxyChain

ChainPtr chain_of(PyObject* self) { return py::state_of<ProxyChain>(self); }

PyObject* chain_new(PyTypeObject* tp, PyObject* args, PyObject* kwargs) {
  if (!py::parse_tuple("NativeProxyChain", args, kwargs, {}, 0, nullptr)) return nullptr;
  return py::box(tp, ChainPtr());
}

// Runs `op` on the chain under its lock, on the runtime, for the caller's loop.
template <class Op>
PyObject* with_chain(PyObject* self, Op op) {
  Ref loop = py::running_loop();
  if (!loop) return nullptr;
  return py::start_on(std::move(loop), [](ChainPtr chain, Op op) -> rt::awaitable<Deliver> {
    auto guard = co_await chain->mutex.lock();
    co_return op(chain->value);
  }(chain_of(self), std::move(op)));
}

PyObject* chain_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  ProxyConfigData proxy;
  if (!py::parse_fast("add", args, nargs, kwnames, {"proxy"}, 1, a) || !arg_proxy(a[0], proxy)) return nullptr;
  return with_chain(self, [proxy = std::move(proxy)](ProxyChain& chain) mutable {
    chain.add(std::move(proxy));
    return py::deliver_none();
  });
}

PyObject* chain_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  std::uint64_t index;
  ProxyConfigData proxy;
  if (!py::parse_fast("insert", args, nargs, kwnames, {"index", "proxy"}, 2, a) || !py::arg_u64(a[0], "index", index) ||
      !arg_proxy(a[1], proxy))
    return nullptr;
  return with_chain(self, [index, proxy = std::move(proxy)](ProxyChain& chain) mutable {
    Status<> st = chain.insert(index, std::move(proxy));
    return st ? py::deliver_none() : py::deliver_error(std::move(st.error()));
  });
}

PyObject* chain_list(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_fast("list", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
  return with_chain(self, [](ProxyChain& chain) -> Deliver {
    return [items = chain.items()]() -> PyObject* {
      Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* o = py::box(g_proxy_config_type, items[i]);
        if (!o) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), o);
      }
      return list.release();
    };
  });
}

PyObject* chain_clear(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_fast("clear", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
  return with_chain(self, [](ProxyChain& chain) {
    chain.clear();
    return py::deliver_none();
  });
}

PyObject* chain_build(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (!py::parse_fast("build", args, nargs, kwnames, {}, 0, nullptr)) return nullptr;
  return with_chain(self, [](ProxyChain& chain) {
    Status<> st = chain.build();
    return st ? py::deliver_none() : py::deliver_error(std::move(st.error()));
  });
}


PyMethodDef chain_methods[] = {
    {"add", PALISK_FASTCALL(chain_add), "add($self, proxy)\n--\n\nAppend a proxy to the end of the chain."},
    {"insert", PALISK_FASTCALL(chain_insert),
     "insert($self, index, proxy)\n--\n\nInsert a proxy at the specified position in the chain."},
    {"list", PALISK_FASTCALL(chain_list), "list($self)\n--\n\nReturn the current chain as a list of proxy configs."},
    {"clear", PALISK_FASTCALL(chain_clear), "clear($self)\n--\n\nClear all proxies from the chain."},
    {"build", PALISK_FASTCALL(chain_build),
     "build($self)\n--\n\nBuild and activate the proxy chain.\n\nThis spawns each proxy subprocess, connects them via "
     "the\nconductor, and performs the capability handshake."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot chain_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "NativeProxyChain()\n--\n\nNative proxy chain builder exposed to Python.\n\n"
                    "Constructs the ordered chain of proxies that messages traverse between\n"
                    "client and agent. A conductor is meant to manage the chain's topology.")},
    {Py_tp_new, reinterpret_cast<void*>(chain_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::box_dealloc<ChainPtr>)},
    {Py_tp_methods, chain_methods},
    {0, nullptr},
};

PyType_Spec chain_spec = {"palisk_sdk._palisk_sdk.NativeProxyChain", static_cast<int>(sizeof(py::Box<ChainPtr>)), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, chain_slots};

}  // namespace

int register_proxy(PyObject* module) {
  g_proxy_config_type = py::add_type(module, &config_spec);
  if (!g_proxy_config_type) return -1;
  return py::add_type(module, &chain_spec) ? 0 : -1;
}

}  // namespace palisk
