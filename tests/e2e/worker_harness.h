// The worker driven the way the main dialog drives it, without the dialog: one worker thread for
// the harness's life, packages built and loaded through the real Update command, and the
// completion step that the progress display takes at the end of an update. What the worker asks
// of the operator surface and writes to the debug output is recorded per job.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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

  // The Update command with the port list at `selection`; returns once the worker has run its
  // whole cycle for it. Records the worker's surface calls and debug texts of that job alone.
  void RunUpdate(int selection);
  // What the progress display does once the count has reached the total: the port closed, the
  // job back to Idle with no package loaded.
  void Complete();

  job::UpdateJob& job() { return *job_; }
  std::vector<std::string> surfaceCalls() const;
  std::vector<std::string> texts() const;
  std::size_t CountText(const std::string& text) const;
  // progressCount as it stood at each "i %d frameSize %d \n" of the latest job.
  std::vector<std::uint32_t> progressAtFramePasses() const;
  const Bytes& image() const { return image_; }

 private:
  // The worker's side of the operator surface: its calls recorded under the harness's lock, as
  // the dialog takes them over from the worker thread.
  class Surface : public job::OperatorSurface {
   public:
    explicit Surface(WorkerHarness& harness) : harness_(harness) {}
    void ShowOperatorMessage(const char* text) override;
    void EnableUpdateButton(bool enabled) override;
    void EnableBrowseButton(bool enabled) override;
    void SetProgressRange(std::uint32_t upper) override;
    void SetProgressPosition(std::uint32_t position) override;
    void SetPercentText(const char* text) override;

   private:
    WorkerHarness& harness_;
  };

  void RunWorker();
  void StopWorker();
  void OnDebugText(std::string_view text);
  void Record(const std::function<void(job::OperatorSurface&)>& call);
  void InstallResolver();

  std::unique_ptr<job::UpdateJob> job_ = std::make_unique<job::UpdateJob>();
  Surface surface_{*this};
  // The Update command's own calls, made on this thread; not recorded.
  job::testing::RecordingSurface commandSurface_;
  job::testing::TempDir folder_;
  std::string packagePath_;
  Bytes image_;
  std::map<std::string, std::string> ports_;
  mutable std::mutex mutex_;
  std::condition_variable cycleEnded_;
  std::uint64_t cyclesRun_ = 0;
  bool stopping_ = false;
  job::testing::RecordingSurface workerCalls_;
  std::vector<std::string> texts_;
  std::vector<std::uint32_t> progressSamples_;
  std::thread worker_;
};

// An image of frames with the given lengths L, each followed by L bytes of its own pattern.
Bytes FramesOfLengths(const std::vector<std::uint16_t>& lengths);

}  // namespace e2e
