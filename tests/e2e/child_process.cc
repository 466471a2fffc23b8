#include "tests/e2e/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace pulsetest {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> mergedEnvironment(const Environment& overrides) {
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item(*entry);
    const std::string name = item.substr(0, item.find('='));
    if (!overrides.contains(name)) result.push_back(std::move(item));
  }
  for (const auto& [name, value] : overrides) {
    if (!value.empty()) result.push_back(name + "=" + value);
  }
  return result;
}

std::vector<char*> pointers(const std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (const auto& s : strings) result.push_back(const_cast<char*>(s.c_str()));
  result.push_back(nullptr);
  return result;
}

}  // namespace

int describeStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
  if (WIFSIGNALED(waitStatus)) return -WTERMSIG(waitStatus);
  return -1000;
}

std::unique_ptr<ChildProcess> ChildProcess::start(const std::vector<std::string>& argv,
                                                  const Options& options) {
  int outPipe[2] = {-1, -1};
  int errPipe[2];
  if (options.captureStdout && pipe2(outPipe, O_CLOEXEC) != 0) return nullptr;
  if (pipe2(errPipe, O_CLOEXEC) != 0) return nullptr;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  if (options.captureStdout) {
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  } else {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

  // The child starts with default signal dispositions and an empty mask, whatever
  // the test runner did to its own.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t all, none;
  sigfillset(&all);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

  // A child dies with the test that started it, even when the test is killed
  // outright (a time-out): setpriv arms the parent-death signal and becomes the
  // child, under the same process ID.
  std::vector<std::string> command = {"setpriv", "--pdeathsig", "KILL", "--"};
  command.insert(command.end(), argv.begin(), argv.end());
  const auto env = mergedEnvironment(options.environment);
  auto argp = pointers(command), envp = pointers(env);
  pid_t pid = -1;
  const int failed =
      posix_spawnp(&pid, command[0].c_str(), &actions, &attributes, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (options.captureStdout) close(outPipe[1]);
  close(errPipe[1]);
  if (failed != 0) {
    if (options.captureStdout) close(outPipe[0]);
    close(errPipe[0]);
    return nullptr;
  }

  std::unique_ptr<ChildProcess> child(new ChildProcess);
  child->pid_ = pid;
  child->stdoutFd_ = outPipe[0];
  child->stderrFd_ = errPipe[0];
  child->stderrReader_ = std::thread([raw = child.get()] { raw->collectStderr(); });
  return child;
}

ChildProcess::~ChildProcess() {
  if (!status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  closeStdout();
  if (stderrReader_.joinable()) stderrReader_.join();
  close(stderrFd_);
}

void ChildProcess::collectStderr() {
  char chunk[4096];
  for (;;) {
    const ssize_t n = read(stderrFd_, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard lock(mutex_);
    if (n <= 0) {
      stderrClosed_ = true;
      changed_.notify_all();
      return;
    }
    stderr_.append(chunk, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
}

std::vector<std::byte> ChildProcess::readStdout(std::size_t bytes,
                                                std::chrono::milliseconds timeout) {
  std::vector<std::byte> result;
  if (stdoutFd_ < 0) return result;
  const auto deadline = Clock::now() + timeout;
  while (result.size() < bytes) {
    pollfd waitFor{stdoutFd_, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int ready = poll(&waitFor, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    std::byte chunk[65536];
    const std::size_t want = std::min(bytes - result.size(), sizeof chunk);
    const ssize_t n = read(stdoutFd_, chunk, want);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    result.insert(result.end(), chunk, chunk + n);
  }
  return result;
}

std::vector<std::byte> ChildProcess::readStdoutUntilClosed(std::chrono::milliseconds timeout) {
  return readStdout(static_cast<std::size_t>(-1), timeout);
}

void ChildProcess::closeStdout() {
  if (stdoutFd_ >= 0) close(stdoutFd_);
  stdoutFd_ = -1;
}

std::string ChildProcess::stderrText() {
  std::lock_guard lock(mutex_);
  return stderr_;
}

bool ChildProcess::waitForStderr(const std::string& text, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return stderr_.find(text) != std::string::npos || stderrClosed_;
  }) && stderr_.find(text) != std::string::npos;
}

void ChildProcess::sendSignal(int signo) {
  if (!status_) kill(pid_, signo);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  int status = 0;
  if (status_ || !pollUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; },
                            static_cast<int>(timeout / 5ms) + 1, 5ms)) {
    return status_;
  }
  status_ = status;
  // Everything the child wrote to standard error is in by the time its exit is
  // reported.
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::seconds(2), [&] { return stderrClosed_; });
  return status_;
}

int ChildProcess::exitCode(std::chrono::milliseconds timeout) {
  const auto status = waitForExit(timeout);
  return status ? describeStatus(*status) : kStillRunning;
}

int runCommand(const std::vector<std::string>& argv, const Environment& environment,
               std::string* output, std::chrono::milliseconds timeout) {
  ChildProcess::Options options;
  options.environment = environment;
  auto child = ChildProcess::start(argv, options);
  if (!child) return -1;
  auto bytes = child->readStdoutUntilClosed(timeout);
  if (output != nullptr) output->assign(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const int code = child->exitCode(std::chrono::milliseconds(500) + timeout / 10);
  return code == ChildProcess::kStillRunning || code < 0 ? -1 : code;
}

}  // namespace pulsetest
