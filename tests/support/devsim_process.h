// Runs ovrin-devsim as a child process for end-to-end tests and benchmarks: starts it with the
// given switches, takes the port path from the first line of its output, and stops it at the end.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

class DevSimProcess {
 public:
  // `executable` is the simulator; `args` its switches. The log (standard error) goes to a file
  // in `workDir`, the received image to workDir/received.bin.
  DevSimProcess(std::string executable, std::vector<std::string> args, std::string workDir);
  ~DevSimProcess();
  DevSimProcess(const DevSimProcess&) = delete;
  DevSimProcess& operator=(const DevSimProcess&) = delete;

  // Path of the simulator's port side; empty when it failed to start.
  const std::string& portPath() const { return portPath_; }
  std::string imagePath() const { return workDir_ + "/received.bin"; }
  std::string logPath() const { return workDir_ + "/devsim.log"; }
  std::string ReadLog() const;
  std::vector<unsigned char> ReadReceivedImage() const;
  // Stops the simulator (SIGTERM, then waits); the image file is complete afterwards.
  void Stop();

 private:
  std::string workDir_;
  std::string portPath_;
  pid_t pid_ = -1;
};

// Reads a whole file; empty when it does not exist.
std::vector<unsigned char> ReadFileBytes(const std::string& path);

// Runs a program to its end and returns its exit status (-1 when it could not run).
int RunProgram(const std::vector<std::string>& argv);

}  // namespace testsupport
