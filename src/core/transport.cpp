// Spawning, killing and reaping the agent subprocess.
#include "core/transport.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

extern char** environ;

namespace palisk {

namespace {

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

// glibc's pidfd_open wrapper lacks C linkage in 2.36 and would pin a new symbol version.
int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

int blocking_waitpid(pid_t pid, int flags, int& status) {
  pid_t r;
  do r = ::waitpid(pid, &status, flags);
  while (r < 0 && errno == EINTR);
  if (r < 0) return errno;
  return r == 0 ? EAGAIN : 0;
}

}  // namespace

// The child's exit, watched from spawn to reap by one detached task: the child is reaped the
// moment it exits, whether or not anyone still holds the AgentProcess, so it never lingers as a
// zombie; and once reaped its pid is never signalled again (it may belong to someone else).
struct AgentProcess::ExitState {
  std::mutex m;
  int pidfd = -1;  // -1 without kernel support; closed once reaped
  bool reaped = false;
  int status = 0;
  int wait_error = 0;
  rt::Event exited;
};

namespace {

void record_exit(AgentProcess::ExitState& st, int status, int err) {
  {
    std::lock_guard lk(st.m);
    st.reaped = true;
    st.status = status;
    st.wait_error = err;
    if (st.pidfd >= 0) {
      ::close(st.pidfd);
      st.pidfd = -1;
    }
  }
  st.exited.notify_all();
}

void watch_exit(pid_t pid, std::shared_ptr<AgentProcess::ExitState> st) {
  int pidfd;
  {
    std::lock_guard lk(st->m);
    pidfd = st->pidfd;
  }
  if (pidfd < 0) {
    rt::submit_blocking([pid, st] {
      int status = 0;
      int err = blocking_waitpid(pid, 0, status);
      record_exit(*st, status, err);
    });
    return;
  }
  rt::spawn_detached([](pid_t pid, std::shared_ptr<AgentProcess::ExitState> st, int fd) -> rt::awaitable<void> {
    asio::posix::stream_descriptor d(co_await asio::this_coro::executor, fd);
    co_await d.async_wait(asio::posix::descriptor_base::wait_read, rt::as_tuple(rt::use_awaitable));
    int status = 0;
    int err = blocking_waitpid(pid, WNOHANG, status);
    if (err == EAGAIN) {  // readable yet not reapable: wait the plain way
      rt::submit_blocking([pid, st] {
        int status = 0;
        int err = blocking_waitpid(pid, 0, status);
        record_exit(*st, status, err);
      });
      co_return;
    }
    record_exit(*st, status, err);
  }(pid, st, ::fcntl(pidfd, F_DUPFD_CLOEXEC, 0)));
}

}  // namespace

AgentProcess::AgentProcess(pid_t pid, std::shared_ptr<ExitState> exit, int in_fd, int out_fd)
    : pid_(pid), exit_(std::move(exit)), stdin_(std::in_place, rt::executor(), in_fd),
      stdout_(std::in_place, rt::executor(), out_fd) {}

AgentProcess::~AgentProcess() {
  if (stdin_) stdin_->close();
  if (stdout_) stdout_->close();
}

std::optional<int> AgentProcess::exit_status() const {
  std::lock_guard lk(exit_->m);
  if (!exit_->reaped || exit_->wait_error) return std::nullopt;
  return exit_->status;
}

Result<std::unique_ptr<AgentProcess>> AgentProcess::spawn(const AgentConfig& config) {
  if (config.command.empty()) return connection_error("agent command must not be empty");

  auto fail = [](const std::string& what) { return connection_error("failed to spawn agent: " + what); };

  // A missing working directory and a missing program both come back as ENOENT from the
  // spawn: look at the directory first so the error says which one it was.
  if (config.cwd) {
    struct stat st;
    if (::stat(config.cwd->c_str(), &st) != 0) {
      int err = errno;
      return fail("working directory " + *config.cwd + ": " + os_error_text(err));
    }
    if (!S_ISDIR(st.st_mode)) return fail("working directory " + *config.cwd + ": " + os_error_text(ENOTDIR));
  }

  // Inherited environment with the overrides on top, replacing variables of the same name.
  std::map<std::string, std::string> overrides;
  for (const auto& [k, v] : config.env) overrides[k] = v;
  std::vector<std::string> env_storage;
  for (char** e = environ; e && *e; ++e) {
    std::string entry(*e);
    auto eq = entry.find('=');
    if (eq != std::string::npos && overrides.count(entry.substr(0, eq))) continue;
    env_storage.push_back(std::move(entry));
  }
  for (const auto& [k, v] : overrides) env_storage.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_storage) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> args_storage = config.command;
  std::vector<char*> argv;
  for (auto& s : args_storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  int in_pipe[2], out_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) return fail(os_error_text(errno));
  if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
    int err = errno;
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    return fail(os_error_text(err));
  }

  posix_spawn_file_actions_t fa;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&fa);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  if (config.cwd) posix_spawn_file_actions_addchdir_np(&fa, config.cwd->c_str());
  posix_spawn_file_actions_addclosefrom_np(&fa, 3);
  // Python ignores SIGPIPE and an ignored signal survives exec: give the child the defaults.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGXFSZ}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  posix_spawnattr_destroy(&attr);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  if (rc != 0) {
    ::close(in_pipe[1]);
    ::close(out_pipe[0]);
    return fail(os_error_text(rc));
  }
  auto exit = std::make_shared<ExitState>();
  exit->pidfd = open_pidfd(pid);
  watch_exit(pid, exit);
  return std::unique_ptr<AgentProcess>(new AgentProcess(pid, std::move(exit), in_pipe[1], out_pipe[0]));
}

Result<Pipe> AgentProcess::take_stdin() {
  if (!stdin_) return transport_error("agent stdin already taken");
  Pipe p = std::move(*stdin_);
  stdin_.reset();
  return p;
}

Result<Pipe> AgentProcess::take_stdout() {
  if (!stdout_) return transport_error("agent stdout already taken");
  Pipe p = std::move(*stdout_);
  stdout_.reset();
  return p;
}

rt::awaitable<Status<>> AgentProcess::kill() {
  {
    std::lock_guard lk(exit_->m);
    if (!exit_->reaped) {
      // Through the pidfd the signal can only reach our child, never a process that took its pid.
      int rc = exit_->pidfd >= 0 ? static_cast<int>(::syscall(SYS_pidfd_send_signal, exit_->pidfd, SIGKILL, nullptr, 0))
                                 : ::kill(pid_, SIGKILL);
      if (rc != 0 && errno != ESRCH) co_return transport_error("failed to kill agent: " + os_error_text(errno));
    }
  }
  if (stdin_) {
    stdin_->close();
    stdin_.reset();
  }
  for (;;) {
    {
      std::lock_guard lk(exit_->m);
      if (exit_->reaped) {
        if (exit_->wait_error) co_return transport_error("failed to kill agent: " + os_error_text(exit_->wait_error));
        co_return ok();
      }
    }
    co_await exit_->exited.wait();
  }
}

}  // namespace palisk
