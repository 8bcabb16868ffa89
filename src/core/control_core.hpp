// The control protocol's native core: the line formats (classification of incoming lines,
// payload encoding, outgoing request and response lines) and the engine behind
// NativeControlProtocol: its shared state, pending requests and the read and write loops over
// two descriptors. Never includes Python.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "core/error.hpp"
#include "core/runtime.hpp"

namespace palisk::control {

// ---------------------------------------------------------------- lines

// A control message from the agent; `data` is the payload as compact JSON text.
struct ControlMessageData {
  std::string request_id;
  std::string subtype;
  std::string data;
};

// A control message, or for every other line the line itself (index 1), unchanged.
using Classified = std::variant<ControlMessageData, std::string>;
Classified classify_message(std::string_view line);

// The `data` member for an outgoing payload: the JSON value re-encoded compactly with sorted
// members, or the text as a JSON string when it is not JSON.
std::string encode_payload(std::string_view data);
// One outgoing line, without its line feed.
std::string request_line(std::string_view request_id, std::string_view subtype, std::string_view data);
std::string response_line(std::string_view request_id, std::string_view subtype, std::string_view data);

bool is_utf8(std::string_view bytes);
// Strips characters with the Unicode White_Space property from both ends of valid UTF-8.
std::string_view trim_whitespace(std::string_view utf8);

// ---------------------------------------------------------------- descriptors

// Sole owner of a descriptor: closes it exactly once.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }
  int get() const { return fd_; }
  void reset();

 private:
  int fd_ = -1;
};

// Takes the two descriptors handed to start() (their low 32 bits), refusing one that is not
// open with a TransportError ("invalid stdin_fd 7: Bad file descriptor (os error 9)") and
// taking ownership of neither then. One descriptor given for both directions is duplicated for
// the write side, so each loop closes a descriptor of its own.
Result<std::pair<UniqueFd, UniqueFd>> adopt_descriptors(std::int64_t stdin_fd, std::int64_t stdout_fd);

// ---------------------------------------------------------------- the engine

// The state shared by one NativeControlProtocol's methods and loops. Opaque; every operation
// below takes a handle to it, so work in flight keeps it alive after the Python object is gone.
struct Protocol;
std::shared_ptr<Protocol> make_protocol();  // needs the runtime (creates it on first use)

// Starts a read loop on `stdout_fd` and a write loop on `stdin_fd` with fresh queues; an
// earlier conversation queue is closed, earlier loops are left to end by themselves.
rt::awaitable<void> start(std::shared_ptr<Protocol> p, UniqueFd stdin_fd, UniqueFd stdout_fd);
// Clears `running`, drops the writer and stops both loops, waiting until they have ended.
rt::awaitable<void> stop(std::shared_ptr<Protocol> p);
rt::awaitable<bool> is_running(std::shared_ptr<Protocol> p);
// Without waiting: nullopt when the state is busy.
std::optional<bool> try_is_running(Protocol& p);
// Receiving a conversation line: the line, or nullopt once the conversation queue is closed
// and drained (or was never opened); the outer nullopt when nothing can be taken right now.
// Waiting and taking are separate steps, so that a receiver abandoned while it waits never
// takes a line it cannot hand over.
class Conversation;  // one start()'s conversation queue, receiving side
// Without waiting, and not ahead of receivers that already wait.
std::optional<std::optional<std::string>> try_recv_message(Protocol& p);
// Waits, in line behind other receivers, until the current conversation queue has a line or
// has ended; returns that queue (null when the protocol was never started).
rt::awaitable<std::shared_ptr<Conversation>> wait_message(std::shared_ptr<Protocol> p);
// Takes from the queue wait_message() returned (null: nothing was ever started).
std::optional<std::optional<std::string>> take_message(Conversation* conv);

// Sends a control request and waits for the agent's answer: its payload text.
rt::awaitable<Result<std::string>> send_control_request(std::shared_ptr<Protocol> p, std::string subtype,
                                                        std::string data);
rt::awaitable<Status<>> send_control_response(std::shared_ptr<Protocol> p, std::string request_id,
                                              std::string subtype, std::string data);

// How long send_control_request waits for an answer (30 s); changed only by the test hooks.
inline constexpr std::chrono::seconds kDefaultRequestTimeout{30};
void set_request_timeout(std::chrono::steady_clock::duration limit);
std::chrono::steady_clock::duration request_timeout();

}  // namespace palisk::control
