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
  // Closes the pipes it still holds. Never kills the child. (Every child is reaped in the
  // background as soon as it exits, so no zombie is ever left behind.)
  ~AgentProcess();

  Result<Pipe> take_stdin();
  Result<Pipe> take_stdout();

  // Kills the child (unless it was already waited for), closes stdin, waits for the exit.
  rt::awaitable<Status<>> kill();

  pid_t pid() const { return pid_; }
  // The wait status once the child has exited and been reaped.
  std::optional<int> exit_status() const;

  struct ExitState;

 private:
  AgentProcess(pid_t pid, std::shared_ptr<ExitState> exit, int in_fd, int out_fd);

  pid_t pid_;
  std::shared_ptr<ExitState> exit_;  // shared with the watcher that reaps the child
  std::optional<Pipe> stdin_;
  std::optional<Pipe> stdout_;
};

}  // namespace palisk
