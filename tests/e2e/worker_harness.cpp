#include "tests/e2e/worker_harness.h"

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <thread>

#include "job/package_loader.h"
#include "link/update_worker.h"
#include "platform/debug_output.h"
#include "platform/serial.h"
#include "platform/win32_kernel.h"
#include "tests/support/devsim_child.h"
#include "tools/pkg/package_maker.h"

namespace e2e {
namespace {

thread_local bool t_isWorker = false;

// No test maps it: a job handed over on it ends the worker's cycle at the open.
constexpr int kUnmappedSelection = 15;

}  // namespace

WorkerHarness::WorkerHarness() {
  job_->readOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  job_->writeOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  platform::SetDebugSink([this](std::string_view text) { OnDebugText(text); });
  InstallResolver();
  worker_ = std::thread([this] { RunWorker(); });
}

WorkerHarness::~WorkerHarness() {
  StopWorker();
  win::CloseHandle(job_->portHandle.exchange(0));
  job_->packageFile.Close();
  win::CloseHandle(job_->readOverlapped.hEvent);
  win::CloseHandle(job_->writeOverlapped.hEvent);
  win::SetPortResolver(win::DefaultPortResolver);
  platform::SetDebugSink(nullptr);
}

// The worker's loop, as the dialog's worker thread runs it, ended between two cycles.
void WorkerHarness::RunWorker() {
  t_isWorker = true;
  for (;;) {
    devlink::RunJobCycle(*job_, surface_);
    std::lock_guard lock(mutex_);
    ++cyclesRun_;
    cycleEnded_.notify_all();
    if (stopping_) return;
  }
}

void WorkerHarness::StopWorker() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  job_->portIndex = kUnmappedSelection;
  job_->state.store(job::JobState::StartRequested, std::memory_order_release);
  worker_.join();
}

void WorkerHarness::MapPort(const std::string& portName, const std::string& path) {
  ports_[portName] = path;
  InstallResolver();
}

// Installed between jobs only: the worker reads it after a hand-over, which orders the two.
void WorkerHarness::InstallResolver() {
  win::SetPortResolver([ports = ports_](std::string_view name) {
    const auto port = ports.find(std::string(name));
    return port == ports.end() ? std::string() : port->second;
  });
}

void WorkerHarness::UsePackage(const std::string& kind, const Bytes& image) {
  pkg::MakeOptions options;
  options.kind = pkg::FindPackageKind(kind);
  if (options.kind == nullptr) throw std::invalid_argument("no package kind " + kind);
  image_ = image;
  packagePath_ = folder_.Write("update.pkg", pkg::BuildPackage(options, image));
}

void WorkerHarness::RunUpdate(int selection) {
  std::unique_lock lock(mutex_);
  workerCalls_.calls.clear();
  texts_.clear();
  progressSamples_.clear();
  const std::uint64_t cycle = cyclesRun_;
  lock.unlock();
  commandSurface_.calls.clear();
  job::RunUpdateCommand(*job_, packagePath_, selection, commandSurface_, [] {});
  if (job_->packageLoaded == 0) return;  // refused: nothing was handed over
  lock.lock();
  cycleEnded_.wait(lock, [&] { return cyclesRun_ > cycle; });
}

void WorkerHarness::Complete() {
  win::CloseHandle(job_->portHandle.exchange(0, std::memory_order_acq_rel));
  job_->state.store(job::JobState::Idle, std::memory_order_release);
  job_->progressCount.store(0, std::memory_order_release);
  job_->packageFile.Close();
  job_->packageLoaded = 0;
}

std::vector<std::string> WorkerHarness::surfaceCalls() const {
  std::lock_guard lock(mutex_);
  return workerCalls_.calls;
}

std::vector<std::string> WorkerHarness::texts() const {
  std::lock_guard lock(mutex_);
  return texts_;
}

std::size_t WorkerHarness::CountText(const std::string& text) const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(std::count(texts_.begin(), texts_.end(), text));
}

std::vector<std::uint32_t> WorkerHarness::progressAtFramePasses() const {
  std::lock_guard lock(mutex_);
  return progressSamples_;
}

void WorkerHarness::OnDebugText(std::string_view text) {
  if (!t_isWorker) return;
  std::lock_guard lock(mutex_);
  texts_.emplace_back(text);
  if (text.starts_with("i ") && text.find(" frameSize ") != std::string_view::npos) {
    progressSamples_.push_back(job_->progressCount.load(std::memory_order_acquire));
  }
}

void WorkerHarness::Record(const std::function<void(job::OperatorSurface&)>& call) {
  std::lock_guard lock(mutex_);
  call(workerCalls_);
}

void WorkerHarness::Surface::ShowOperatorMessage(const char* text) {
  harness_.Record([&](job::OperatorSurface& s) { s.ShowOperatorMessage(text); });
}
void WorkerHarness::Surface::EnableUpdateButton(bool enabled) {
  harness_.Record([&](job::OperatorSurface& s) { s.EnableUpdateButton(enabled); });
}
void WorkerHarness::Surface::EnableBrowseButton(bool enabled) {
  harness_.Record([&](job::OperatorSurface& s) { s.EnableBrowseButton(enabled); });
}
void WorkerHarness::Surface::SetProgressRange(std::uint32_t upper) {
  harness_.Record([&](job::OperatorSurface& s) { s.SetProgressRange(upper); });
}
void WorkerHarness::Surface::SetProgressPosition(std::uint32_t position) {
  harness_.Record([&](job::OperatorSurface& s) { s.SetProgressPosition(position); });
}
void WorkerHarness::Surface::SetPercentText(const char* text) {
  harness_.Record([&](job::OperatorSurface& s) { s.SetPercentText(text); });
}

Bytes FramesOfLengths(const std::vector<std::uint16_t>& lengths) {
  std::vector<Bytes> frames;
  std::uint8_t seed = 1;
  for (const std::uint16_t length : lengths)
    frames.push_back(devsimtest::MakeFrame(length, seed++));
  return devsimtest::Join(frames);
}

}  // namespace e2e
