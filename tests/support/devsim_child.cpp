#include "tests/support/devsim_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

extern char** environ;

namespace devsimtest {

DevsimChild::DevsimChild(const std::vector<std::string>& switches) {
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
  std::vector<std::string> words{OVRIN_DEVSIM_PATH, "--exit-with-parent"};
  words.insert(words.end(), switches.begin(), switches.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
  portPath_ = NextOutputLine();
}

DevsimChild::~DevsimChild() {
  if (pid_ > 0) Terminate();
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

std::string DevsimChild::NextOutputLine(int timeoutMs) {
  pollfd watched{outFd_, POLLIN, 0};
  while (outBuffer_.find('\n') == std::string::npos && poll(&watched, 1, timeoutMs) > 0) {
    char chunk[256];
    const auto count = read(outFd_, chunk, sizeof chunk);
    if (count <= 0) break;
    outBuffer_.append(chunk, static_cast<std::size_t>(count));
  }
  const auto end = outBuffer_.find('\n');
  if (end == std::string::npos) return {};
  std::string line = outBuffer_.substr(0, end);
  outBuffer_.erase(0, end + 1);
  return line;
}

bool DevsimChild::ReadMoreLog(int timeoutMs) {
  pollfd watched{errFd_, POLLIN, 0};
  if (poll(&watched, 1, timeoutMs) <= 0) return false;
  char chunk[4096];
  const auto count = read(errFd_, chunk, sizeof chunk);
  if (count <= 0) return false;
  log_.append(chunk, static_cast<std::size_t>(count));
  return true;
}

std::size_t DevsimChild::WaitForLog(std::string_view text, std::size_t from, int timeoutMs) {
  while (log_.find(text, from) == std::string::npos) {
    if (!ReadMoreLog(timeoutMs)) return std::string::npos;
  }
  return log_.find(text, from) + text.size();
}

int DevsimChild::Reap() {
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return exitStatus_;
}

int DevsimChild::Terminate() {
  if (pid_ <= 0) return exitStatus_;
  kill(pid_, SIGTERM);
  while (ReadMoreLog(kPatienceMs)) {
  }
  return Reap();
}

int DevsimChild::WaitForExit(int timeoutMs) {
  // Its log reaches its end when it exits.
  while (ReadMoreLog(timeoutMs)) {
  }
  pollfd watched{errFd_, POLLIN, 0};
  if (poll(&watched, 1, 0) <= 0 || (watched.revents & POLLHUP) == 0) return -1;
  return Reap();
}

PortEnd::PortEnd(const std::string& path, speed_t speed) {
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ >= 0) SetSpeed(speed);
}

PortEnd::~PortEnd() {
  if (fd_ >= 0) close(fd_);
}

void PortEnd::SetSpeed(speed_t speed) {
  termios settings{};
  tcgetattr(fd_, &settings);
  cfmakeraw(&settings);
  cfsetspeed(&settings, speed);
  tcsetattr(fd_, TCSANOW, &settings);
}

bool PortEnd::Send(std::span<const std::uint8_t> bytes) {
  pollfd watched{fd_, POLLOUT, 0};
  while (!bytes.empty()) {
    const auto count = write(fd_, bytes.data(), bytes.size());
    if (count > 0) {
      bytes = bytes.subspan(static_cast<std::size_t>(count));
    } else if (count < 0 && errno != EAGAIN) {
      return false;
    } else if (poll(&watched, 1, kPatienceMs) <= 0) {
      return false;
    }
  }
  return true;
}

Bytes PortEnd::Receive(std::size_t count, int timeoutMs) {
  Bytes received;
  pollfd watched{fd_, POLLIN, 0};
  while (received.size() < count && poll(&watched, 1, timeoutMs) > 0 &&
         (watched.revents & POLLIN) != 0) {
    std::uint8_t chunk[256];
    const auto got = read(fd_, chunk, std::min(sizeof chunk, count - received.size()));
    if (got <= 0) break;
    received.insert(received.end(), chunk, chunk + got);
  }
  return received;
}

std::string TempDir() {
  std::string pattern = "/tmp/devsim-test-XXXXXX";
  return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes MakeFrame(std::uint16_t length, std::uint8_t seed) {
  Bytes frame{static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length & 0xFF)};
  std::uint32_t state = seed;
  for (std::uint32_t i = 0; i < length; ++i) {
    state = state * 1103515245u + 12345u;
    frame.push_back(static_cast<std::uint8_t>(state >> 16));
  }
  return frame;
}

Bytes Join(const std::vector<Bytes>& parts) {
  Bytes joined;
  for (const auto& part : parts) joined.insert(joined.end(), part.begin(), part.end());
  return joined;
}

}  // namespace devsimtest
