// The agent subprocess: spawned with posix_spawnp (program looked up on the host's PATH,
// working directory, inherited environment plus overrides, piped stdin/stdout, inherited
// stderr, same process group). Exit is awaited through a pidfd without blocking a worker.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/runtime.hpp"

namespace palisk {

// How to start an agent: the native copy of a ClientConfig.
struct AgentConfig {
  std::vector<std::string> command;
  std::optional<std::string> cwd;
  std::vector<std::pair<std::string, std::string>> env;  // in insertion order
  std::uint64_t timeout_secs = 30;
};

using Pipe = asio::posix::stream_descriptor;

class AgentProcess {
 public:
  // Starts the agent. Errors: "agent command must not be empty", "failed to spawn agent: ...".
  static Result<std::unique_ptr<AgentProcess>> spawn(const AgentConfig& config);

  AgentProcess(const AgentProcess&) = delete;
  AgentProcess& operator=(const AgentProcess&) = delete;
  // Closes the pipes it still holds. Never kills the child; a child that was not waited for
  // is reaped in the background once it exits, so no zombie is left behind.
  ~AgentProcess();

  Result<Pipe> take_stdin();
  Result<Pipe> take_stdout();

  // Kills the child (unless it was already waited for), closes stdin, waits for the exit.
  rt::awaitable<Status<>> kill();

  pid_t pid() const { return pid_; }
  // The wait status once the child has been waited for.
  std::optional<int> exit_status() const { return status_; }

 private:
  AgentProcess(pid_t pid, int pidfd, int in_fd, int out_fd);
  static void reap_in_background(pid_t pid, int pidfd);

  pid_t pid_;
  int pidfd_;  // -1 when the kernel has no pidfd support
  std::optional<Pipe> stdin_;
  std::optional<Pipe> stdout_;
  std::optional<int> status_;
};

}  // namespace palisk
