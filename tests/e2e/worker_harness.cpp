#include "tests/e2e/worker_harness.h"

#include <algorithm>
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

WorkerHarness::WorkerHarness() {
  job_->readOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  job_->writeOverlapped.hEvent = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
  platform::SetDebugSink([this](std::string_view text) { OnDebugText(text); });
  InstallResolver();
}

WorkerHarness::~WorkerHarness() {
  win::CloseHandle(job_->portHandle.exchange(0));
  job_->packageFile.Close();
  win::CloseHandle(job_->readOverlapped.hEvent);
  win::CloseHandle(job_->writeOverlapped.hEvent);
  win::SetPortResolver(win::DefaultPortResolver);
  platform::SetDebugSink(nullptr);
}

void WorkerHarness::MapPort(const std::string& portName, const std::string& path) {
  ports_[portName] = path;
  InstallResolver();
}

// Installed only while no worker runs, so the copy it holds is never read while it changes.
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
  job::RunUpdateCommand(*job_, packagePath_, selection, surface_, [] {});
  {
    std::lock_guard lock(mutex_);
    texts_.clear();
    progressSamples_.clear();
  }
  surface_.calls.clear();
  if (job_->state.load(std::memory_order_acquire) != job::JobState::StartRequested) return;
  std::thread([this] { devlink::RunJobCycle(*job_, surface_); }).join();
}

void WorkerHarness::Complete() {
  win::CloseHandle(job_->portHandle.exchange(0, std::memory_order_acq_rel));
  job_->state.store(job::JobState::Idle, std::memory_order_release);
  job_->progressCount.store(0, std::memory_order_release);
  job_->packageFile.Close();
  job_->packageLoaded = 0;
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
  std::lock_guard lock(mutex_);
  texts_.emplace_back(text);
  if (text.starts_with("i ") && text.find(" frameSize ") != std::string_view::npos) {
    progressSamples_.push_back(job_->progressCount.load(std::memory_order_acquire));
  }
}

Bytes FramesOfLengths(const std::vector<std::uint16_t>& lengths) {
  std::vector<Bytes> frames;
  std::uint8_t seed = 1;
  for (const std::uint16_t length : lengths)
    frames.push_back(devsimtest::MakeFrame(length, seed++));
  return devsimtest::Join(frames);
}

}  // namespace e2e
