// A stop signal ends the process promptly with status 0 whatever its standard
// error does and whatever signal mask it was started with, and nothing spins
// while standard error is full.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Stderr { kFilledByItsOwnLines, kFilledBeforeStart, kRead };

struct Case {
  const char* name;
  const char* mode;  // the probe's argument
  Stderr stderrIs;
  bool startBlocked;  // SIGINT and SIGTERM blocked in the mask the probe starts with
  int signo;
};

// Fills the pipe through a non-blocking description of its own, leaving the
// one the probe gets as it is.
void fill(int writeEnd) {
  const int fd = open(("/proc/self/fd/" + std::to_string(writeEnd)).c_str(), O_WRONLY | O_NONBLOCK);
  ASSERT_GE(fd, 0);
  const std::string block(4096, 'x');
  while (write(fd, block.data(), block.size()) > 0) {
  }
  close(fd);
}

pid_t spawnProbe(const Case& c, int stdoutFd, int stderrFd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, stderrFd, STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t mask;
  sigemptyset(&mask);
  if (c.startBlocked) {
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
  }
  posix_spawnattr_setsigmask(&attributes, &mask);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  char* argv[] = {const_cast<char*>(STOP_PROBE_PATH), const_cast<char*>(c.mode), nullptr};
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, STOP_PROBE_PATH, &actions, &attributes, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

// User and system CPU time the process has used so far.
std::chrono::milliseconds cpuTime(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text(std::istreambuf_iterator<char>(stat), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  long user = 0, system = 0;
  fields >> user >> system;
  return std::chrono::milliseconds((user + system) * 1000 / sysconf(_SC_CLK_TCK));
}

TEST(StopSignal, EndsPromptlyWithStatusZeroWithoutSpinning) {
  const Case cases[] = {
      {"its own lines fill its stderr", "busy", Stderr::kFilledByItsOwnLines, false, SIGTERM},
      {"stderr was full before it started", "quiet", Stderr::kFilledBeforeStart, false, SIGINT},
      {"started with SIGINT blocked", "quiet", Stderr::kRead, true, SIGINT},
      {"started with SIGTERM blocked", "quiet", Stderr::kRead, true, SIGTERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int out[2], err[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
    if (c.stderrIs == Stderr::kFilledBeforeStart) fill(err[1]);
    const pid_t pid = spawnProbe(c, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    char ready[6];
    pollfd readable{out[0], POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 10'000), 1);
    ASSERT_EQ(read(out[0], ready, sizeof ready), 6);

    if (c.stderrIs != Stderr::kRead) {
      const auto before = cpuTime(pid);
      std::this_thread::sleep_for(1s);
      EXPECT_LT(cpuTime(pid) - before, 200ms);
    }
    kill(pid, c.signo);
    const auto sent = Clock::now();
    int status = -1;
    while (waitpid(pid, &status, WNOHANG) == 0 && Clock::now() - sent < 2s) {
      std::this_thread::sleep_for(2ms);
    }
    const auto took = Clock::now() - sent;
    if (took >= 2s) kill(pid, SIGKILL), waitpid(pid, &status, 0);
    EXPECT_LT(took, 500ms);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    if (c.stderrIs == Stderr::kRead) {
      char text[256];
      const ssize_t n = read(err[0], text, sizeof text);
      const std::string stop = c.signo == SIGINT ? "SIGINT" : "SIGTERM";
      EXPECT_EQ(std::string(text, std::max<ssize_t>(n, 0)),
                "ready\\tto stop\nstop: " + stop + "\n");
    }
    close(out[0]);
    close(err[0]);
  }
}

}  // namespace
