// The error model of the native core: every fallible operation yields its value or a
// PaliskError. Errors are plain values here; the binding layer turns them into Python
// exceptions exactly once, at the boundary.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace palisk {

enum class ErrorKind : std::uint8_t {
  Connection = 0,
  Session = 1,
  Transport = 2,
  Protocol = 3,
  Tool = 4,
  Hook = 5,
  Proxy = 6,
  Timeout = 7,
  Permission = 8,
  Cancelled = 9,
  Generic = 10,
};

inline constexpr int kErrorKindCount = 11;

class PaliskError {
 public:
  PaliskError(ErrorKind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
  static PaliskError cancelled() { return PaliskError(ErrorKind::Cancelled, {}); }

  ErrorKind kind() const { return kind_; }
  const std::string& message() const { return message_; }
  // The kind's fixed prefix followed by the message ("session error: ..."); "cancelled" for the
  // cancelled kind; the bare message for the generic kind.
  std::string display() const;
  // The Python exception class name the kind maps to in palisk_sdk.exceptions.
  const char* class_name() const { return class_name(kind_); }
  static const char* class_name(ErrorKind kind);

 private:
  ErrorKind kind_;
  std::string message_;
};

inline PaliskError connection_error(std::string m) { return {ErrorKind::Connection, std::move(m)}; }
inline PaliskError transport_error(std::string m) { return {ErrorKind::Transport, std::move(m)}; }
inline PaliskError protocol_error(std::string m) { return {ErrorKind::Protocol, std::move(m)}; }

// A value or an error. Kept tiny on purpose: std::expected is not in C++20.
template <class T, class E = PaliskError>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const T& value() const& { return std::get<0>(v_); }
  E& error() & { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }
  const E& error() const& { return std::get<1>(v_); }
  T* operator->() { return &value(); }
  T& operator*() { return value(); }

 private:
  std::variant<T, E> v_;
};

struct Unit {};
template <class E = PaliskError>
using Status = Result<Unit, E>;
inline Unit ok() { return {}; }

}  // namespace palisk
