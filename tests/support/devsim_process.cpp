#include "tests/support/devsim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace testsupport {
namespace {

std::vector<char*> ArgvOf(std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

// The first line of the child's output, waiting at most `timeoutMs` for it.
std::string ReadFirstLine(int fd, int timeoutMs) {
  std::string line;
  char c = 0;
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, timeoutMs) > 0) {
    const ssize_t n = read(fd, &c, 1);
    if (n <= 0 || c == '\n') break;
    line.push_back(c);
  }
  return line;
}

}  // namespace

DevSimProcess::DevSimProcess(std::string executable, std::vector<std::string> args,
                             std::string workDir)
    : workDir_(std::move(workDir)) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> full{executable, "--image-out", imagePath()};
  full.insert(full.end(), args.begin(), args.end());
  auto argv = ArgvOf(full);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath().c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (posix_spawn(&pid_, executable.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (pid_ > 0) portPath_ = ReadFirstLine(out[0], 10000);
  close(out[0]);
}

DevSimProcess::~DevSimProcess() {
  Stop();
}

void DevSimProcess::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
}

std::string DevSimProcess::ReadLog() const {
  std::ifstream in(logPath());
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<unsigned char> DevSimProcess::ReadReceivedImage() const {
  return ReadFileBytes(imagePath());
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int RunProgram(const std::vector<std::string>& argvIn) {
  auto args = argvIn;
  auto argv = ArgvOf(args);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
