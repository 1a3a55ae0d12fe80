// Loading the largest package (2,800,000 characters), against `xxd -r -p` decoding the same text
// and against a loop that reads two characters per read.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "job/package_loader.h"
#include "platform/debug_output.h"
#include "platform/file.h"
#include "tools/pkg/package_maker.h"

extern char** environ;

namespace {

class SilentSurface : public job::OperatorSurface {
 public:
  void ShowOperatorMessage(const char*) override {}
  void EnableUpdateButton(bool) override {}
  void EnableBrowseButton(bool) override {}
  void SetProgressRange(std::uint32_t) override {}
  void SetProgressPosition(std::uint32_t) override {}
  void SetPercentText(const char*) override {}
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The largest package a loader accepts: 14,000 frames of 100 bytes, 2,800,000 characters; and
// the same payload text alone, for xxd.
struct LargestPackage {
  LargestPackage() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ovrin-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;
    image = pkg::FramesImage(14'000, 100);
    pkg::MakeOptions options;
    options.kind = pkg::FindPackageKind("keyboard");
    const std::string bytes = pkg::BuildPackage(options, image);
    packagePath = dir + "/largest.pkg";
    hexPath = dir + "/largest.hex";
    xxdOutPath = dir + "/largest.xxd.bin";
    WriteFile(packagePath, bytes);
    WriteFile(hexPath, bytes.substr(job::kHeaderSize));
  }
  ~LargestPackage() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
  }

  std::string dir;
  std::vector<std::uint8_t> image;
  std::string packagePath;
  std::string hexPath;
  std::string xxdOutPath;
};

const LargestPackage& Package() {
  static const LargestPackage package;
  return package;
}

bool RunXxd(const LargestPackage& package) {
  std::string args[] = {"xxd", "-r", "-p", package.hexPath, package.xxdOutPath};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(),
                  args[3].data(), args[4].data(), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, "xxd", nullptr, nullptr, argv, environ) != 0) return false;
  int status = 0;
  return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void BM_LoadPackage(benchmark::State& state) {
  const LargestPackage& package = Package();
  const auto job = std::make_unique<job::UpdateJob>();
  SilentSurface surface;
  platform::SetDebugSink([](std::string_view) {});
  for (auto _ : state) {
    job->packageLoaded = 0;
    if (job::LoadPackage(*job, package.packagePath, surface) != job::LoadResult::Loaded) {
      state.SkipWithError("package refused");
      break;
    }
    benchmark::DoNotOptimize(job->frameBuffer);
    job->packageFile.Close();
  }
  platform::SetDebugSink({});
  if (!std::equal(package.image.begin(), package.image.end(), job->frameBuffer)) {
    state.SkipWithError("image differs");
  }
  state.SetBytesProcessed(state.iterations() * 2'800'000);
}
BENCHMARK(BM_LoadPackage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_XxdReversePlain(benchmark::State& state) {
  const LargestPackage& package = Package();
  for (auto _ : state) {
    if (!RunXxd(package)) {
      state.SkipWithError("xxd failed");
      break;
    }
  }
  const std::string decoded = ReadFile(package.xxdOutPath);
  if (decoded != std::string(package.image.begin(), package.image.end())) {
    state.SkipWithError("xxd image differs");
  }
  state.SetBytesProcessed(state.iterations() * 2'800'000);
}
BENCHMARK(BM_XxdReversePlain)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same decode with one file read per pair of characters.
void BM_TwoCharactersPerRead(benchmark::State& state) {
  const LargestPackage& package = Package();
  std::vector<std::uint8_t> image(package.image.size());
  for (auto _ : state) {
    platform::CFile file;
    if (!file.Open(package.packagePath, platform::CFile::modeRead)) {
      state.SkipWithError("cannot open");
      break;
    }
    file.SeekFromBegin(job::kHeaderSize);
    char pair[2];
    for (std::uint8_t& byte : image) {
      file.Read(pair, 2);
      byte = job::DecodeHexPair(pair[0], pair[1]);
    }
    benchmark::DoNotOptimize(image.data());
  }
  if (image != package.image) state.SkipWithError("image differs");
  state.SetBytesProcessed(state.iterations() * 2'800'000);
}
BENCHMARK(BM_TwoCharactersPerRead)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
