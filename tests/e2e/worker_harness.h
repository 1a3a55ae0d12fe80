// The worker driven the way the main dialog drives it, without the dialog: a package built and
// loaded through the real Update command, one worker cycle on a thread of its own, and the
// completion step that the progress display takes at the end of an update. What the worker asks
// of the operator surface and writes to the debug output is recorded per job.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "job/update_job.h"
#include "tests/job/package_fixture.h"

namespace e2e {

using Bytes = std::vector<std::uint8_t>;

class WorkerHarness {
 public:
  WorkerHarness();
  ~WorkerHarness();
  WorkerHarness(const WorkerHarness&) = delete;
  WorkerHarness& operator=(const WorkerHarness&) = delete;

  // The port list's item `portName` ("COM1") reaches the device at `path`.
  void MapPort(const std::string& portName, const std::string& path);
  // Writes a package of the kind named as ovrin-pkg names it ("keyboard") holding `image`; the
  // next Update loads it.
  void UsePackage(const std::string& kind, const Bytes& image);

  // The Update command with the port list at `selection`, then the worker's whole cycle for it.
  // What is recorded from then on is the worker's alone: the surface calls and debug texts of
  // the command and of earlier jobs are forgotten.
  void RunUpdate(int selection);
  // What the progress display does once the count has reached the total: the port closed, the
  // job back to Idle with no package loaded.
  void Complete();

  job::UpdateJob& job() { return *job_; }
  const std::vector<std::string>& surfaceCalls() const { return surface_.calls; }
  std::vector<std::string> texts() const;
  std::size_t CountText(const std::string& text) const;
  // progressCount as it stood at each "i %d frameSize %d \n" of the latest job.
  std::vector<std::uint32_t> progressAtFramePasses() const;
  const Bytes& image() const { return image_; }

 private:
  void OnDebugText(std::string_view text);
  void InstallResolver();

  std::unique_ptr<job::UpdateJob> job_ = std::make_unique<job::UpdateJob>();
  job::testing::RecordingSurface surface_;
  job::testing::TempDir folder_;
  std::string packagePath_;
  Bytes image_;
  std::map<std::string, std::string> ports_;
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
  std::vector<std::uint32_t> progressSamples_;
};

// An image of frames with the given lengths L, each followed by L bytes of its own pattern.
Bytes FramesOfLengths(const std::vector<std::uint16_t>& lengths);

}  // namespace e2e
