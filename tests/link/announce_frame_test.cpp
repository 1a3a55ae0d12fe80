// The announce frame for every device family, the Kestrane version text, the CRC, and the port
// names the worker opens.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "job/update_job.h"
#include "link/announce.h"
#include "link/crc16.h"
#include "link/port_setup.h"

namespace devlink {
namespace {

using job::DeviceType;

std::vector<std::uint8_t> Bytes(const AnnounceFrame& frame) {
  return {frame.begin(), frame.end()};
}

std::string TextBytes(const AnnounceFrame& frame) {
  return std::string(reinterpret_cast<const char*>(frame.data()) + 11, 16);
}

TEST(Crc16, MatchesTheModbusCheckValue) {
  const char* digits = "123456789";
  EXPECT_EQ(ComputeCrc16(reinterpret_cast<const std::uint8_t*>(digits), 9), 0x4B37);
}

struct FixedFrame {
  DeviceType type;
  std::vector<std::uint8_t> bytes;
};

TEST(AnnounceFrame, FixedVariantsByteForByte) {
  const std::vector<FixedFrame> cases = {
      {DeviceType::Keyboard,
       {0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x88, 0x10, 0x46, 0x69, 0x72, 0x6D,
        0x77, 0x61, 0x72, 0x65, 0x55, 0x70, 0x64, 0x61, 0x74, 0x65, 0x41, 0x50, 0xF6, 0x5A, 0xF2}},
      {DeviceType::ReaderA,
       {0xF0, 0xFF, 0x00, 0xFF, 0xFF, 0x88, 0x14, 0x46, 0x69, 0x72, 0x6D, 0x77, 0x61, 0x72, 0x65,
        0x55, 0x70, 0x64, 0x61, 0x74, 0x65, 0x41, 0x50, 0x20, 0x20, 0x20, 0x20, 0x19, 0xBC, 0xF2}},
      {DeviceType::ReaderB,
       {0xF0, 0xAA, 0xAA, 0xFF, 0xFF, 0x88, 0x14, 0x46, 0x69, 0x72, 0x6D, 0x77, 0x61, 0x72, 0x65,
        0x55, 0x70, 0x64, 0x61, 0x74, 0x65, 0x41, 0x50, 0x20, 0x20, 0x20, 0x20, 0x60, 0x65, 0xF2}},
  };
  auto job = std::make_unique<job::UpdateJob>();
  for (const FixedFrame& c : cases) {
    job->deviceType = c.type;
    EXPECT_EQ(Bytes(BuildAnnounceFrame(*job)), c.bytes) << static_cast<int>(c.type);
  }
}

class KestraneFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    job_->deviceType = DeviceType::Kestrane;
    job_->entryId = 1;
  }
  void PutEntry(int position, std::int32_t id, const char (&version)[15]) {
    job::PackageEntry entry;
    entry.id = id;
    std::memcpy(entry.versionText.data(), version, job::kVersionTextSize);
    job::WriteEntry(job_->header, position, entry);
  }
  AnnounceFrame Frame() const { return BuildAnnounceFrame(*job_); }

  std::unique_ptr<job::UpdateJob> job_ = std::make_unique<job::UpdateJob>();
};

TEST_F(KestraneFrame, VersionTextIsLaidOutWithDotsAndDash) {
  PutEntry(0, 1, "ABCDEFGHIJKLMN");
  const AnnounceFrame frame = Frame();
  EXPECT_EQ(TextBytes(frame), "AB.C.D-FGHIJKLMN");
  // The head is the generic frame's; the CRC covers bytes 1 to 26.
  EXPECT_EQ(std::vector<std::uint8_t>(frame.begin(), frame.begin() + 11),
            (std::vector<std::uint8_t>{0xF0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0x01, 0x88, 0x10}));
  const std::uint16_t crc = ComputeCrc16(frame.data() + 1, 26);
  EXPECT_EQ(frame[27], crc >> 8);
  EXPECT_EQ(frame[28], crc & 0xFF);
  EXPECT_EQ(frame[29], 0xF2);
}

TEST_F(KestraneFrame, TrailingDotBecomesASpace) {
  PutEntry(0, 1, "ABCDEFGHIJKLM.");
  EXPECT_EQ(TextBytes(Frame()), "AB.C.D-FGHIJKLM ");
}

TEST_F(KestraneFrame, LastMatchingEntrySuppliesTheText) {
  PutEntry(1, 1, "ABCDEFGHIJKLMN");
  PutEntry(3, 2, "ZZZZZZZZZZZZZZ");
  PutEntry(5, 1, "0123456789abcd");
  EXPECT_EQ(TextBytes(Frame()), "01.2.3-56789abcd");
}

TEST_F(KestraneFrame, NoMatchingEntrySendsZerosUnderItsCrc) {
  PutEntry(0, 2, "ABCDEFGHIJKLMN");
  const AnnounceFrame frame = Frame();
  EXPECT_EQ(TextBytes(frame), std::string(16, '\0'));
  const std::uint16_t crc = ComputeCrc16(frame.data() + 1, 26);
  EXPECT_EQ(frame[27], crc >> 8);
  EXPECT_EQ(frame[28], crc & 0xFF);
}

TEST(PortName, ShortFormBelowNineComparedUnsigned) {
  const std::vector<std::pair<std::int32_t, std::string>> cases = {
      {0, "COM1"}, {8, "COM9"}, {9, "\\\\.\\COM10"}, {15, "\\\\.\\COM16"}, {-1, "\\\\.\\COM0"},
  };
  for (const auto& [index, name] : cases) {
    EXPECT_EQ(std::string(MakePortName(index).data()), name) << index;
  }
}

}  // namespace
}  // namespace devlink
