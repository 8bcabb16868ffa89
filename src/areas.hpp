// The registration step of each Python-facing area, called by the module initialiser in this
// order. Each adds its classes to the module and returns 0, or -1 with a Python error set (the
// first class that fails stops the step).
#pragma once

#include "py/py.hpp"

namespace palisk {

// Capabilities, MessageRole, ContentType, ContentBlock, Message, UpdateKind, SessionUpdate,
// ClientConfig, ToolDefinition, PermissionRequest, PermissionResponse, ResultMessage, StreamEvent.
int register_types(PyObject* module);
// ControlMessage, ControlResponse, NativeControlProtocol.
int register_control(PyObject* module);
// NativeClient.
int register_client(PyObject* module);
// NativeToolRegistry.
int register_tools(PyObject* module);
// HookType, NativeHookDispatcher.
int register_hooks(PyObject* module);
// ProxyConfig, NativeProxyChain.
int register_proxy(PyObject* module);
// The private `_testing` namespace (internal; used by the test suite only).
int register_testing(PyObject* module);

}  // namespace palisk
