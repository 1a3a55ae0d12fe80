// The faults a technician meets, one row each, end to end through the dialog, the worker and the
// device simulator: what the operator is told, the state the dialog is left in, what reached the
// device, and the Update that follows.
#include <gtest/gtest.h>

#include <functional>

#include "dialog_scenario.h"
#include "job/package_format.h"
#include "tests/job/package_fixture.h"

namespace e2e {
namespace {

using job::kMsgChooseFile;
using job::kMsgFileFailed;
using job::kMsgMorrisk;
using job::kMsgNoRespond;
using job::kMsgNotSupported;
using job::kMsgOpenComFailed;
using job::kMsgTambrel;
using job::kMsgUpdateSuccess;

// Four small frames; the first, a middle and the last are 0, 2 and 3.
constexpr int kMiddle = 2;
constexpr int kLast = 3;

std::string Changed(const Package& good, const std::function<void(pkg::MakeOptions&)>& change) {
  pkg::MakeOptions options = MakeOptionsFor(good);
  change(options);
  return pkg::BuildPackage(options, ImageOf(good));
}

std::string OfKind(const Package& good, const char* kind) {
  return Changed(good, [kind](pkg::MakeOptions& o) { o.kind = pkg::FindPackageKind(kind); });
}

std::string Declaring(const Package& good, std::int64_t payloadChars) {
  return Changed(good, [payloadChars](pkg::MakeOptions& o) {
    o.declaredPayloadChars = static_cast<std::int32_t>(payloadChars);
  });
}

std::string ShortHeader(const Package& good) {
  return OfKind(good, good.type).substr(0, job::kHeaderSize / 2);
}
std::string UnknownSignature(const Package& good) {
  return OfKind(good, "unknown");
}
std::string Morrisk(const Package& good) {
  return OfKind(good, "morrisk");
}
std::string Tambrel(const Package& good) {
  return OfKind(good, "tambrel");
}
std::string NoEntryToSend(const Package& good) {
  return Changed(good, [](pkg::MakeOptions& o) { o.entryId = 2; });
}
std::string OverTheSizeLimit(const Package& good) {
  return Declaring(good, 2'800'002);
}
std::string NegativeSize(const Package& good) {
  return Declaring(good, -2);
}
std::string EndsInsideThePayload(const Package& good) {
  return Declaring(good, static_cast<std::int64_t>(2 * ImageOf(good).size() + 40));
}
std::string LastFrameRunsPastTheImage(const Package& good) {
  std::vector<std::uint8_t> image = ImageOf(good);
  image.insert(image.end(), {0x00, 0x30, 0xAA, 0xBB});
  return pkg::BuildPackage(MakeOptionsFor(good), image);
}
// The entry before the one sent declares a negative size: the payload would start before the
// file does, and the file layer reports the seek.
std::string PayloadBeforeTheFile(const Package& good) {
  return job::testing::PackageBuilder(job::DeviceType::Keyboard)
      .EntryDeclaring(2, -1000, "")
      .Entry(job::kFirmwareEntryId, job::testing::HexText(ImageOf(good)))
      .Bytes();
}

std::vector<std::string> Refusing(int frame, int times) {
  return {"--refuse-frame", std::to_string(frame) + ":" + std::to_string(times)};
}

// A transfer that lasts a few seconds on an emulated line, to be closed in the middle.
constexpr Package kLongPackage{.frames = 60, .frameBytes = 300};

const Scenario kMatrix[] = {
    // The announce: no reply, or one just inside or outside the window (a reply is collected when
    // its last byte comes within about 2 s); without a reply the port is opened again.
    {.name = "NoAnnounceReply", .simulator = {"--no-announce-reply"}, .reopens = true},
    {.name = "LateAnnounceReplyInsideTheWindow",
     .simulator = {"--announce-delay", "1500"},
     .reopens = false},
    {.name = "LateAnnounceReplyOutsideTheWindow",
     .simulator = {"--announce-delay", "2500"},
     .reopens = true},

    // Refusals that the resends overcome.
    {.name = "FirstFrameRefusedOnce", .simulator = Refusing(0, 1), .reopens = false},
    {.name = "FirstFrameRefusedTwice", .simulator = Refusing(0, 2)},
    {.name = "FirstFrameRefusedThreeTimes", .simulator = Refusing(0, 3)},
    {.name = "MiddleFrameRefusedOnce", .simulator = Refusing(kMiddle, 1)},
    {.name = "MiddleFrameRefusedTwice", .simulator = Refusing(kMiddle, 2)},
    {.name = "MiddleFrameRefusedThreeTimes", .simulator = Refusing(kMiddle, 3)},
    {.name = "LastFrameRefusedOnce", .simulator = Refusing(kLast, 1)},
    {.name = "LastFrameRefusedTwice", .simulator = Refusing(kLast, 2)},
    {.name = "LastFrameRefusedThreeTimes", .simulator = Refusing(kLast, 3)},
    {.name = "GarbageRepliesToAFrameThreeTimes", .simulator = {"--garbage-frame", "1:3"}},

    // The device gives up on a frame, talks nonsense, falls silent or goes away.
    {.name = "MiddleFrameRefusedFourTimes",
     .simulator = Refusing(kMiddle, 4),
     .message = kMsgNoRespond,
     .after = kAfterNoResponse,
     .failingFrame = kMiddle},
    {.name = "GarbageReplies",
     .simulator = {"--garbage"},
     .message = kMsgNoRespond,
     .after = kAfterNoResponse,
     .failingFrame = 0},
    {.name = "SilentFromAMiddleFrame",
     .simulator = {"--silent-from", std::to_string(kMiddle)},
     .message = kMsgNoRespond,
     .after = kAfterNoResponse,
     .failingFrame = kMiddle},
    // The line is dead after a hang-up: the port is closed, and the retry opens the one that came
    // back.
    {.name = "HangUpAtAMiddleFrameThenThePortComesBack",
     .simulator = {"--hangup-at", std::to_string(kMiddle), "--come-back", "500"},
     .port = PortPick::ComingBack,
     .message = kMsgNoRespond,
     .after = {.browseEnabled = false, .packageLoaded = 1, .portOpen = false},
     .failingFrame = kMiddle},

    // The port.
    {.name = "PortHeldByAnotherProcess",
     .port = PortPick::HeldElsewhere,
     .message = kMsgOpenComFailed,
     .after = kAfterOpenFailed},
    {.name = "PortThatDoesNotExist",
     .port = PortPick::Missing,
     .message = kMsgOpenComFailed,
     .after = kAfterOpenFailed},
    {.name = "NoPortSelected",
     .port = PortPick::NoneSelected,
     .message = kMsgOpenComFailed,
     .after = kAfterOpenFailed},

    // Closing the dialog, in a process of its own that must end cleanly.
    {.name = "CloseWhileIdle", .closeAt = CloseStage::Idle},
    {.name = "CloseDuringTheAnnounce",
     .simulator = {"--no-announce-reply"},
     .closeAt = CloseStage::Announce},
    {.name = "CloseMidTransfer",
     .simulator = {"--pace"},
     .package = kLongPackage,
     .closeAt = CloseStage::Transfer},
    {.name = "CloseWhileTheWorkerShowsNoRespond",
     .simulator = Refusing(1, 4),
     .closeAt = CloseStage::WorkerMessage},
    {.name = "CloseWhileUpdateSuccessIsShown", .closeAt = CloseStage::SuccessMessage},

    // Every refusal of the loader; a good package loads after it.
    {.name = "NoFileChosen",
     .firstFile = FirstFile::NotChosen,
     .message = kMsgChooseFile,
     .after = kAfterRefusedPackage},
    {.name = "ChosenFileRemoved",
     .firstFile = FirstFile::Missing,
     .message = kMsgChooseFile,
     .after = kAfterRefusedPackage},
    {.name = "FileHeldByAnotherProcess",
     .firstFile = FirstFile::HeldElsewhere,
     .message = kMsgChooseFile,
     .after = kAfterRefusedPackage},
    {.name = "FileShorterThanTheHeader",
     .firstFile = FirstFile::Refused,
     .refused = ShortHeader,
     .message = kMsgNotSupported,
     .after = kAfterRefusedPackage},
    {.name = "UnknownSignature",
     .firstFile = FirstFile::Refused,
     .refused = UnknownSignature,
     .message = kMsgNotSupported,
     .after = kAfterRefusedPackage},
    {.name = "MorriskPackage",
     .firstFile = FirstFile::Refused,
     .refused = Morrisk,
     .message = kMsgMorrisk,
     .after = kAfterRefusedPackage},
    {.name = "TambrelPackage",
     .firstFile = FirstFile::Refused,
     .refused = Tambrel,
     .message = kMsgTambrel,
     .after = kAfterRefusedPackage},
    {.name = "NoEntryToSend",
     .firstFile = FirstFile::Refused,
     .refused = NoEntryToSend,
     .message = kMsgFileFailed,
     .after = kAfterRefusedPackage},
    {.name = "PayloadOverTheSizeLimit",
     .firstFile = FirstFile::Refused,
     .refused = OverTheSizeLimit,
     .message = kMsgFileFailed,
     .after = kAfterRefusedPackage},
    {.name = "NegativePayloadSize",
     .firstFile = FirstFile::Refused,
     .refused = NegativeSize,
     .message = kMsgFileFailed,
     .after = kAfterRefusedPackage},
    {.name = "FileEndsInsideThePayload",
     .firstFile = FirstFile::Refused,
     .refused = EndsInsideThePayload,
     .message = kMsgFileFailed,
     .after = kAfterRefusedPackage},
    {.name = "LastFrameRunsPastTheImage",
     .firstFile = FirstFile::Refused,
     .refused = LastFrameRunsPastTheImage,
     .message = kMsgFileFailed,
     .after = kAfterRefusedPackage},
    {.name = "PayloadStartsBeforeTheFile",
     .firstFile = FirstFile::Refused,
     .refused = PayloadBeforeTheFile,
     .message = nullptr,
     .after = kAfterRefusedPackage},
};

class FaultMatrix : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultMatrix, OperatorToldStateKeptAndTheNextUpdateWorks) {
  RunScenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::ValuesIn(kMatrix), NameOfRow);

}  // namespace
}  // namespace e2e
