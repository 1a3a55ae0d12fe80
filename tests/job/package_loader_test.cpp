#include "job/package_loader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <memory>
#include <thread>

#include "platform/file.h"
#include "tests/job/package_fixture.h"

namespace job {
namespace {

using testing::DebugCapture;
using testing::FramesImage;
using testing::HexText;
using testing::PackageBuilder;
using testing::RecordingSurface;
using testing::TempDir;
using Calls = std::vector<std::string>;

const std::string kFailedMessage = std::string("message:") + kMsgFileFailed;

class PackageLoaderTest : public ::testing::Test {
 protected:
  LoadResult Load(const std::string& path) { return LoadPackage(*job, path, surface); }

  std::vector<std::uint8_t> Image() const {
    return {job->frameBuffer, job->frameBuffer + job->frameBytes};
  }

  // True when the file can be opened here, that is, the loader no longer holds it.
  static bool OpenableAgain(const std::string& path) {
    platform::CFile other;
    return other.Open(path, platform::CFile::modeRead);
  }

  void ExpectNothingLoaded() const {
    EXPECT_EQ(job->packageLoaded, 0);
    EXPECT_FALSE(job->packageFile.IsOpen());
    EXPECT_EQ(job->state.load(), JobState::Idle);
  }

  TempDir dir;
  std::unique_ptr<UpdateJob> job = std::make_unique<UpdateJob>();
  RecordingSurface surface;
  DebugCapture debug;
};

// Every supported kind of package loads entry 1, announces its type and holds its file.
TEST_F(PackageLoaderTest, EverySupportedSignatureLoads) {
  const struct {
    DeviceType type;
    int occurrence;
    const char* recognitionText;
  } cases[] = {
      {DeviceType::Kestrane, 0, "Kestrane Firmware,files=Dulvick!!\n"},
      {DeviceType::Kestrane, 1, "Kestrane Firmware!!\n"},
      {DeviceType::Keyboard, 0, "Ovrin-Keyboard Firmware!!\n"},
      {DeviceType::Joystick, 0, "Ovrin-Joystick Firmware!!\n"},
      {DeviceType::ReaderA, 0, "Ovrin-Reader Firmware!!\n"},
      {DeviceType::ReaderB, 0, "Ovrin-Reader Firmware!!\n"},
  };
  const std::vector<std::uint8_t> image = FramesImage(3, 40);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.recognitionText);
    job = std::make_unique<UpdateJob>();
    surface.calls.clear();
    debug.strings.clear();
    const std::string bytes = PackageBuilder(c.type, c.occurrence).Entry(1, HexText(image)).Bytes();
    const std::string path = dir.Write("package.bin", bytes);

    ASSERT_EQ(Load(path), LoadResult::Loaded);
    EXPECT_EQ(job->deviceType, c.type);
    EXPECT_EQ(job->entryId, 1);
    EXPECT_EQ(Image(), image);
    EXPECT_EQ(std::string(job->header.bytes.begin(), job->header.bytes.end()),
              bytes.substr(0, 628));
    EXPECT_EQ(job->packageLoaded, 1);
    EXPECT_TRUE(job->packageFile.IsOpen());
    EXPECT_EQ(surface.calls, Calls{"browse:off"});
    EXPECT_EQ(debug.strings, (Calls{c.recognitionText, "Open File", path, "\n"}));
    job->packageFile.Close();
  }
}

TEST_F(PackageLoaderTest, RefusedSignaturesKeepEntryIdAndSetTheType) {
  const struct {
    DeviceType type;
    const char* message;
    Calls debugStrings;
  } cases[] = {
      {DeviceType::Morrisk, kMsgMorrisk, {"Morrisk Firmware!!\n"}},
      {DeviceType::Tambrel, kMsgTambrel, {"Tambrel Firmware!!\n"}},
      {DeviceType::Unrecognized, kMsgNotSupported, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    job->deviceType = DeviceType::Joystick;
    job->entryId = 77;
    surface.calls.clear();
    debug.strings.clear();
    const std::string path =
        dir.Write("refused.bin", PackageBuilder(c.type).Entry(1, "0000").Bytes());

    EXPECT_EQ(Load(path), LoadResult::Refused);
    EXPECT_EQ(job->deviceType, c.type);
    EXPECT_EQ(job->entryId, 77);
    EXPECT_EQ(surface.calls, Calls{std::string("message:") + c.message});
    EXPECT_EQ(debug.strings, c.debugStrings);
    ExpectNothingLoaded();
    EXPECT_TRUE(OpenableAgain(path));
  }
}

TEST_F(PackageLoaderTest, UnopenableFileAsksForAFileAndChangesNothing) {
  const std::string held = dir.Write("held.bin", PackageBuilder().Entry(1, "0000").Bytes());
  platform::CFile holder;
  ASSERT_TRUE(holder.Open(held, platform::CFile::modeRead));
  for (const std::string& path : {std::string(), dir.PathOf("missing.bin"), dir.PathOf(""), held}) {
    SCOPED_TRACE(path);
    job->deviceType = DeviceType::ReaderB;
    job->entryId = 5;
    surface.calls.clear();

    EXPECT_EQ(Load(path), LoadResult::Refused);
    EXPECT_EQ(job->deviceType, DeviceType::ReaderB);
    EXPECT_EQ(job->entryId, 5);
    EXPECT_EQ(surface.calls, Calls{std::string("message:") + kMsgChooseFile});
    EXPECT_TRUE(debug.strings.empty());
    ExpectNothingLoaded();
  }
}

// A file shorter than the header is not a package, even when it starts with a known signature,
// and no header byte is left over from the package loaded before.
TEST_F(PackageLoaderTest, FileShorterThanTheHeaderIsNotSupported) {
  const std::string good = PackageBuilder().Entry(1, "0000").Bytes();
  const std::string loaded = dir.Write("good.bin", good);
  for (const std::size_t length : {std::size_t{0}, std::size_t{16}, std::size_t{627}}) {
    SCOPED_TRACE(length);
    ASSERT_EQ(Load(loaded), LoadResult::Loaded);
    job->packageFile.Close();
    job->packageLoaded = 0;
    surface.calls.clear();
    debug.strings.clear();
    const std::string path = dir.Write("short.bin", good.substr(0, length));

    EXPECT_EQ(Load(path), LoadResult::Refused);
    EXPECT_EQ(job->deviceType, DeviceType::Unrecognized);
    EXPECT_EQ(surface.calls, Calls{std::string("message:") + kMsgNotSupported});
    EXPECT_TRUE(debug.strings.empty());
    std::string expectedHeader = good.substr(0, length);
    expectedHeader.resize(628, '\0');
    EXPECT_EQ(std::string(job->header.bytes.begin(), job->header.bytes.end()), expectedHeader);
    ExpectNothingLoaded();
  }
}

// Recognised Keyboard packages whose payload cannot be sent as it stands.
TEST_F(PackageLoaderTest, UnusablePayloadsFailAndLeaveUpdateUsable) {
  const std::string wellFormed = HexText(FramesImage(2, 10));
  const struct {
    const char* what;
    std::string bytes;
  } cases[] = {
      {"2,800,002 characters", PackageBuilder().EntryDeclaring(1, 2'800'002, wellFormed).Bytes()},
      {"negative size", PackageBuilder().EntryDeclaring(1, -2, wellFormed).Bytes()},
      {"smallest negative size",
       PackageBuilder().EntryDeclaring(1, std::numeric_limits<std::int32_t>::min(), "").Bytes()},
      {"no entry with id 1", PackageBuilder().Entry(2, wellFormed).Entry(0, "").Bytes()},
      {"file ends inside the payload", PackageBuilder().EntryDeclaring(1, 42, wellFormed).Bytes()},
      {"file ends after the previous entry",
       PackageBuilder().Entry(3, "0000").EntryDeclaring(1, 40, "").Bytes()},
      {"payload beyond the end of the file",
       PackageBuilder().EntryDeclaring(3, 1'000'000, "").Entry(1, wellFormed).Bytes()},
      {"length prefix past the end", PackageBuilder().Entry(1, "0004112233").Bytes()},
      {"lone trailing byte", PackageBuilder().Entry(1, wellFormed + "00").Bytes()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    job->state.store(JobState::Running);
    job->frameBytes = 99;
    surface.calls.clear();
    debug.strings.clear();
    const std::string path = dir.Write("failed.bin", c.bytes);

    EXPECT_EQ(Load(path), LoadResult::Refused);
    EXPECT_EQ(surface.calls, (Calls{kFailedMessage, "update:on"}));
    EXPECT_EQ(debug.strings, Calls{"Ovrin-Keyboard Firmware!!\n"});
    EXPECT_EQ(job->deviceType, DeviceType::Keyboard);
    EXPECT_EQ(job->entryId, 1);
    EXPECT_EQ(job->frameBytes, 0);
    ExpectNothingLoaded();
    EXPECT_TRUE(OpenableAgain(path));
  }
}

TEST_F(PackageLoaderTest, NegativePayloadOffsetIsAFileErrorAndClosesTheFile) {
  const std::string path = dir.Write(
      "negative.bin", PackageBuilder().EntryDeclaring(2, -1000, "").Entry(1, "0000").Bytes());
  EXPECT_THROW(Load(path), platform::CFileException);
  EXPECT_EQ(job->packageLoaded, 0);
  EXPECT_FALSE(job->packageFile.IsOpen());
  EXPECT_TRUE(surface.calls.empty());
}

TEST_F(PackageLoaderTest, TinyPayloadsGiveAnEmptyImage) {
  for (const std::string& text : {std::string(), std::string("7")}) {
    SCOPED_TRACE(text.size());
    job = std::make_unique<UpdateJob>();
    job->frameBytes = 5;
    ASSERT_EQ(Load(dir.Write("tiny.bin", PackageBuilder().Entry(1, text).Bytes())),
              LoadResult::Loaded);
    EXPECT_EQ(job->frameBytes, 0);
    EXPECT_EQ(job->packageLoaded, 1);
  }
}

TEST_F(PackageLoaderTest, LargestPayloadFillsTheFrameBufferAndItsOddLastCharacterIsNotRead) {
  const std::vector<std::uint8_t> image = FramesImage(14'000, 100);
  ASSERT_EQ(image.size(), kFrameBufferSize);
  // The file ends before the 2,800,001st character, which therefore must not be needed.
  const std::string path = dir.Write(
      "largest.bin", PackageBuilder().EntryDeclaring(1, 2'800'001, HexText(image)).Bytes());
  ASSERT_EQ(Load(path), LoadResult::Loaded);
  EXPECT_EQ(job->frameBytes, 1'400'000);
  EXPECT_TRUE(Image() == image);
}

TEST_F(PackageLoaderTest, SelectedEntryIsTheFirstWithIdOneWhereverItStands) {
  const std::vector<std::uint8_t> image = FramesImage(2, 6);
  const std::string atPosition2 =
      PackageBuilder().Entry(5, "ABCDEF").Entry(0, "0101").Entry(1, HexText(image)).Bytes();
  ASSERT_EQ(Load(dir.Write("third.bin", atPosition2)), LoadResult::Loaded);
  EXPECT_EQ(Image(), image);
  job->packageFile.Close();

  const std::string twoOfThem = PackageBuilder().Entry(1, HexText(image)).Entry(1, "0000").Bytes();
  ASSERT_EQ(Load(dir.Write("two.bin", twoOfThem)), LoadResult::Loaded);
  EXPECT_EQ(Image(), image);
}

TEST_F(PackageLoaderTest, PairsDecodeByTheConversionRuleLineBreaksIncluded) {
  // "00" "07", then CR LF, "a5", " 7", "-1", "0x", "G7" and "7G": one frame of 7 data bytes.
  const std::string text = "0007\r\na5 7-10xG77G";
  ASSERT_EQ(Load(dir.Write("text.bin", PackageBuilder().Entry(1, text).Bytes())),
            LoadResult::Loaded);
  EXPECT_EQ(Image(),
            (std::vector<std::uint8_t>{0x00, 0x07, 0x00, 0xA5, 0x07, 0xFF, 0x00, 0x00, 0x07}));
}

TEST_F(PackageLoaderTest, LoadedPackageCannotBeOpenedTwiceUntilClosed) {
  const std::string path = dir.Write("held.bin", PackageBuilder().Entry(1, "0000").Bytes());
  ASSERT_EQ(Load(path), LoadResult::Loaded);
  EXPECT_FALSE(OpenableAgain(path));
  job->packageFile.Close();
  EXPECT_TRUE(OpenableAgain(path));
}

class UpdateCommandTest : public PackageLoaderTest {
 protected:
  void Run(const std::string& path, int selection) {
    RunUpdateCommand(*job, path, selection, surface, [this] { surface.calls.push_back("timer"); });
  }
};

TEST_F(UpdateCommandTest, LoadsThenHandsTheJobOver) {
  const std::string text = HexText(FramesImage(4, 25));
  const std::string path = dir.Write(
      "job.bin", PackageBuilder().Entry(1, text).Entry(2, "0000").Trailing("\r\n").Bytes());
  job->transferEnded = true;
  Run(path, 3);

  EXPECT_EQ(job->state.load(), JobState::StartRequested);
  EXPECT_EQ(job->portIndex, 3);
  EXPECT_EQ(job->payloadChars, text.size());
  EXPECT_FALSE(job->transferEnded.load());
  const std::string range = "range:" + std::to_string(628 + text.size() + 4 + 2);
  EXPECT_EQ(surface.calls, (Calls{"browse:off", "timer", range, "update:off"}));
}

TEST_F(UpdateCommandTest, NoPortSelectedStillStartsAJob) {
  Run(dir.Write("job.bin", PackageBuilder().Entry(1, "0000").Bytes()), -1);
  EXPECT_EQ(job->state.load(), JobState::StartRequested);
  EXPECT_EQ(job->portIndex, -1);
}

TEST_F(UpdateCommandTest, RefusedPackageStartsNoJob) {
  job->portIndex = 9;
  Run(dir.Write("job.bin", PackageBuilder().EntryDeclaring(1, 2'800'002, "").Bytes()), 2);
  EXPECT_EQ(surface.calls, (Calls{kFailedMessage, "update:on"}));
  EXPECT_EQ(job->state.load(), JobState::Idle);
  EXPECT_EQ(job->portIndex, 9);
}

// After a worker failure the package stays loaded: Update starts again on the same image, with the
// port selected now, and neither opens nor reads any file.
TEST_F(UpdateCommandTest, RetryWithALoadedPackageDoesNotReadTheFileAgain) {
  const std::vector<std::uint8_t> image = FramesImage(2, 30);
  const std::string bytes = PackageBuilder(DeviceType::ReaderA).Entry(1, HexText(image)).Bytes();
  const std::string path = dir.Write("job.bin", bytes);
  Run(path, 0);
  job->state.store(JobState::Idle);  // the worker's failure
  std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(bytes.size(), 'Z');
  surface.calls.clear();
  debug.strings.clear();

  Run(dir.PathOf("another.bin"), 5);
  EXPECT_EQ(job->state.load(), JobState::StartRequested);
  EXPECT_EQ(job->portIndex, 5);
  EXPECT_EQ(job->deviceType, DeviceType::ReaderA);
  EXPECT_EQ(Image(), image);
  EXPECT_TRUE(debug.strings.empty());
  EXPECT_EQ(surface.calls, (Calls{"timer", "range:" + std::to_string(bytes.size()), "update:off"}));
}

// Every field that the worker reads is in place once it sees StartRequested.
TEST_F(UpdateCommandTest, EveryJobFieldIsWrittenBeforeTheHandOver) {
  const std::vector<std::uint8_t> image = FramesImage(3, 12);
  const std::string text = HexText(image);
  const std::string path = dir.Write("job.bin", PackageBuilder().Entry(1, text).Bytes());
  job->portIndex = 11;
  job->transferEnded = true;
  const auto expectHandedOver = [&](const UpdateJob& seen) {
    EXPECT_EQ(seen.portIndex, 6);
    EXPECT_EQ(seen.deviceType, DeviceType::Keyboard);
    EXPECT_EQ(seen.entryId, 1);
    EXPECT_EQ(seen.frameBytes, static_cast<std::int32_t>(image.size()));
    EXPECT_TRUE(std::equal(image.begin(), image.end(), seen.frameBuffer));
    EXPECT_EQ(seen.payloadChars, text.size());
    EXPECT_FALSE(seen.transferEnded.load(std::memory_order_relaxed));
  };

  std::thread worker([&] {
    while (job->state.load(std::memory_order_acquire) != JobState::StartRequested) {
      std::this_thread::yield();
    }
    expectHandedOver(*job);
  });
  RunUpdateCommand(*job, path, 6, surface, [&] {
    EXPECT_EQ(job->state.load(std::memory_order_acquire), JobState::StartRequested);
    expectHandedOver(*job);
  });
  worker.join();
}

}  // namespace
}  // namespace job
