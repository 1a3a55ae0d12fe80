#include "job/package_format.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <vector>

#include "tests/job/package_fixture.h"

namespace job {
namespace {

using testing::SignatureOf;

PackageHeader HeaderWithEntries(const std::vector<PackageEntry>& entries) {
  PackageHeader header;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    WriteEntry(header, static_cast<int>(i), entries[i]);
  }
  return header;
}

PackageEntry Entry(std::int32_t id, std::int32_t payloadChars) {
  PackageEntry entry;
  entry.id = id;
  entry.payloadChars = payloadChars;
  return entry;
}

TEST(PackageEntryTest, FieldsAreReadLittleEndianAtTheirOffsets) {
  PackageHeader header;
  std::uint8_t* entry2 = header.bytes.data() + 32 + 2 * 76;
  const std::uint8_t id[] = {0x01, 0x02, 0x03, 0x84};
  const std::uint8_t chars[] = {0x40, 0x0D, 0x03, 0x00};
  std::copy(std::begin(id), std::end(id), entry2);
  std::copy(std::begin(chars), std::end(chars), entry2 + 8);
  const std::string version = "V1.00-20261211";
  std::copy(version.begin(), version.end(), entry2 + 17);

  const PackageEntry read = ReadEntry(header, 2);
  EXPECT_EQ(read.id, static_cast<std::int32_t>(0x84030201u));
  EXPECT_EQ(read.payloadChars, 200'000);
  EXPECT_EQ(std::string(read.versionText.begin(), read.versionText.end()), version);

  PackageHeader rewritten;
  WriteEntry(rewritten, 2, read);
  EXPECT_EQ(rewritten.bytes, header.bytes);
}

struct SignatureCase {
  std::array<std::uint8_t, kSignatureSize> bytes;
  DeviceType deviceType;
  const char* recognitionText;
};

// The table as the package format defines it, in comparison order.
const SignatureCase kSignatures[] = {
    {{0xAA, 0xBB, 0x55, 0x00, 0xF3, 0xD2, 0x42, 0x98, 0x77, 0xAA, 0xB2, 0x45, 0x00, 0x89, 0x31,
      0x45},
     DeviceType::Kestrane,
     "Kestrane Firmware,files=Dulvick!!\n"},
    {{0x77, 0xAA, 0xB2, 0x45, 0x00, 0x89, 0x31, 0x45, 0x77, 0x13, 0x89, 0x71, 0xF3, 0xD2, 0x42,
      0x98},
     DeviceType::Kestrane,
     "Kestrane Firmware!!\n"},
    {{0xA3, 0xEB, 0x00, 0xAA, 0xF5, 0x55, 0x31, 0x56, 0xBB, 0xC3, 0x27, 0x98, 0xEE, 0x00, 0x37,
      0x57},
     DeviceType::Morrisk,
     "Morrisk Firmware!!\n"},
    {{0xAC, 0xF3, 0x5A, 0xBB, 0x3E, 0x00, 0x23, 0xBB, 0x99, 0xBB, 0x4E, 0x5A, 0x30, 0x9E, 0x00,
      0x54},
     DeviceType::Tambrel,
     "Tambrel Firmware!!\n"},
    {{0x12, 0x00, 0xF2, 0xD4, 0x02, 0xAA, 0x76, 0x75, 0x34, 0x99, 0xCE, 0xCA, 0x31, 0x0E, 0x05,
      0x35},
     DeviceType::Keyboard,
     "Ovrin-Keyboard Firmware!!\n"},
    {{0x43, 0x9D, 0x18, 0x19, 0x79, 0x06, 0x12, 0x77, 0x88, 0x55, 0x66, 0xAB, 0xCD, 0xEF, 0xA0,
      0xF2},
     DeviceType::Joystick,
     "Ovrin-Joystick Firmware!!\n"},
    {{0xEF, 0x8A, 0x27, 0xA2, 0xBC, 0x30, 0x17, 0x8F, 0xC3, 0x45, 0x7B, 0xE2, 0x59, 0x26, 0x61,
      0x00},
     DeviceType::ReaderA,
     "Ovrin-Reader Firmware!!\n"},
    {{0xEF, 0x8A, 0x27, 0xA2, 0xBC, 0x30, 0x17, 0x8F, 0xC3, 0x45, 0x7B, 0xE2, 0x59, 0x26, 0x61,
      0x01},
     DeviceType::ReaderB,
     "Ovrin-Reader Firmware!!\n"},
};

TEST(SignatureTableTest, EightSignaturesInComparisonOrderWithTheirTypesAndDebugStrings) {
  ASSERT_EQ(KnownSignatures().size(), std::size(kSignatures));
  for (std::size_t i = 0; i < std::size(kSignatures); ++i) {
    SCOPED_TRACE(i);
    const PackageSignature& known = KnownSignatures()[i];
    EXPECT_EQ(known.bytes, kSignatures[i].bytes);
    EXPECT_EQ(known.deviceType, kSignatures[i].deviceType);
    EXPECT_STREQ(known.recognitionText, kSignatures[i].recognitionText);

    PackageHeader header;
    std::copy(known.bytes.begin(), known.bytes.end(), header.bytes.begin());
    header.bytes[16] = 0xEE;  // bytes after the signature play no part
    EXPECT_EQ(MatchSignature(header), &known);
  }
}

TEST(SignatureTableTest, ReadersDifferOnlyInTheLastByte) {
  PackageHeader header;
  const auto readerA = SignatureOf(DeviceType::ReaderA);
  std::copy(readerA.begin(), readerA.end(), header.bytes.begin());
  for (const auto& [last, type] :
       {std::pair{0x00, DeviceType::ReaderA}, std::pair{0x01, DeviceType::ReaderB}}) {
    header.bytes[15] = static_cast<std::uint8_t>(last);
    ASSERT_NE(MatchSignature(header), nullptr);
    EXPECT_EQ(MatchSignature(header)->deviceType, type);
  }
  header.bytes[15] = 0x02;
  EXPECT_EQ(MatchSignature(header), nullptr);
}

TEST(SignatureTableTest, HeadersMatchingNoSignatureAreUnknown) {
  PackageHeader header;
  EXPECT_EQ(MatchSignature(header), nullptr) << "all zero";
  for (const PackageSignature& known : KnownSignatures()) {
    for (const std::size_t flipped : {std::size_t{0}, std::size_t{7}, kSignatureSize - 1}) {
      std::copy(known.bytes.begin(), known.bytes.end(), header.bytes.begin());
      header.bytes[flipped] ^= 0x80;
      EXPECT_EQ(MatchSignature(header), nullptr) << known.recognitionText << " byte " << flipped;
    }
  }
}

TEST(FindPayloadTest, OffsetSumsEveryEarlierEntryWhateverItsId) {
  const PackageHeader header = HeaderWithEntries({Entry(7, 10), Entry(0, 32), Entry(1, 400)});
  const std::optional<PayloadRegion> region = FindPayload(header, 1);
  ASSERT_TRUE(region);
  EXPECT_EQ(region->position, 2);
  EXPECT_EQ(region->offset, 628 + 10 + 32);
  EXPECT_EQ(region->payloadChars, 400);
}

TEST(FindPayloadTest, FirstOfTwoMatchingEntriesIsSelected) {
  const PackageHeader header = HeaderWithEntries({Entry(1, 8), Entry(1, 20)});
  const std::optional<PayloadRegion> region = FindPayload(header, 1);
  ASSERT_TRUE(region);
  EXPECT_EQ(region->position, 0);
  EXPECT_EQ(region->offset, 628);
  EXPECT_EQ(region->payloadChars, 8);
}

TEST(FindPayloadTest, NoMatchingEntryGivesNothing) {
  EXPECT_FALSE(FindPayload(HeaderWithEntries({Entry(2, 8), Entry(3, 8)}), 1));
  EXPECT_FALSE(FindPayload(PackageHeader{}, 1));
}

TEST(FindPayloadTest, OffsetIsComputedWithoutWrapping) {
  constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
  const PackageHeader big = HeaderWithEntries({Entry(2, kMax), Entry(3, kMax), Entry(1, 2)});
  EXPECT_EQ(FindPayload(big, 1)->offset, 628 + 2 * std::int64_t{kMax});
  const PackageHeader negative = HeaderWithEntries({Entry(2, -1000), Entry(1, 2)});
  EXPECT_EQ(FindPayload(negative, 1)->offset, 628 - 1000);
}

TEST(PayloadLimitTest, LowestBitClearedUnsignedAgainstTheFrameBuffer) {
  const std::pair<std::int32_t, bool> cases[] = {
      {0, true},         {1, true},          {2'800'000, true},
      {2'800'001, true}, {2'800'002, false}, {std::numeric_limits<std::int32_t>::max(), false},
      {-1, false},       {-2, false},        {std::numeric_limits<std::int32_t>::min(), false},
  };
  for (const auto& [payloadChars, within] : cases) {
    EXPECT_EQ(PayloadWithinLimit(payloadChars), within) << payloadChars;
  }
  EXPECT_EQ(DecodedByteCount(0), 0u);
  EXPECT_EQ(DecodedByteCount(1), 0u);
  EXPECT_EQ(DecodedByteCount(2'800'001), 1'400'000u);
}

TEST(DecodeTest, ExamplesOfTheConversionRule) {
  const struct {
    char high, low;
    std::uint8_t byte;
  } cases[] = {
      {'A', '5', 0xA5}, {'a', '5', 0xA5},   {'7', 'G', 0x07},  {'G', '7', 0x00},
      {' ', '7', 0x07}, {'\r', '\n', 0x00}, {'-', '1', 0xFF},  {'-', 'F', 0xF1},
      {'0', 'x', 0x00}, {'0', 'X', 0x00},   {'+', 'f', 0x0F},  {'\t', 'c', 0x0C},
      {'F', 'f', 0xFF}, {'0', '0', 0x00},   {'\0', '7', 0x00}, {'9', '\0', 0x09},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DecodeHexPair(c.high, c.low), c.byte)
        << "pair " << int{static_cast<unsigned char>(c.high)} << ","
        << int{static_cast<unsigned char>(c.low)};
  }
}

TEST(DecodeTest, EveryPairGivesWhatTheCLibraryConversionGives) {
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  int mismatches = 0;
  for (int high = 0; high < 256; ++high) {
    for (int low = 0; low < 256; ++low) {
      const char text[3] = {static_cast<char>(high), static_cast<char>(low), '\0'};
      const auto expected = static_cast<std::uint8_t>(std::strtoul(text, nullptr, 16) & 0xFF);
      const std::uint8_t got = DecodeHexPair(text[0], text[1]);
      if (got != expected && ++mismatches <= 10) {
        ADD_FAILURE() << "pair " << high << "," << low << ": " << int{got}
                      << " != " << int{expected};
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(DecodeTest, CrLfDecodesToZeroAndLaterPairsKeepTheirPlace) {
  const std::string text = "0A\r\nB7";
  std::uint8_t out[3] = {0xEE, 0xEE, 0xEE};
  DecodeHexText(text.data(), 3, out);
  EXPECT_EQ(std::vector<std::uint8_t>(std::begin(out), std::end(out)),
            (std::vector<std::uint8_t>{0x0A, 0x00, 0xB7}));
}

// Frame sizes of a walk from offset 0, or nothing once a frame does not lie within the image.
std::vector<std::optional<std::uint32_t>> WalkFrames(const std::vector<std::uint8_t>& image) {
  std::vector<std::optional<std::uint32_t>> sizes;
  const auto frameBytes = static_cast<std::uint32_t>(image.size());
  std::uint32_t offset = 0;
  while (offset < frameBytes) {
    sizes.push_back(FrameSizeAt(image.data(), frameBytes, offset));
    if (!sizes.back()) break;
    offset += *sizes.back();
  }
  return sizes;
}

TEST(FrameTest, WellFormedImagesAndTheirProgress) {
  const std::vector<std::uint8_t> single = {0x00, 0x00};
  EXPECT_EQ(WalkFrames(single), (std::vector<std::optional<std::uint32_t>>{2u}));
  EXPECT_EQ(FrameProgressChars(2), 4u);
  EXPECT_TRUE(FramesEndExactly(single.data(), 2));

  const std::vector<std::uint8_t> two = {0x00, 0x03, 0x11, 0x22, 0x33, 0x00, 0x01, 0x44};
  EXPECT_EQ(WalkFrames(two), (std::vector<std::optional<std::uint32_t>>{5u, 3u}));
  EXPECT_EQ(FrameProgressChars(5), 10u);
  EXPECT_EQ(FrameProgressChars(3), 6u);
  EXPECT_TRUE(FramesEndExactly(two.data(), 8));

  EXPECT_TRUE(FramesEndExactly(nullptr, 0)) << "an empty image has no frames";
  const std::vector<std::uint8_t> largest = testing::FramesImage(1, 65'537);
  EXPECT_EQ(WalkFrames(largest), (std::vector<std::optional<std::uint32_t>>{65'537u}));
}

TEST(FrameTest, FramesThatRunPastTheImageAreMalformed) {
  // Exactly sized vectors: the sanitizer build catches any read beyond frameBytes.
  const std::vector<std::vector<std::uint8_t>> malformed = {
      {0x00},                                // a lone byte
      {0x00, 0x00, 0x07},                    // a lone trailing byte after a whole frame
      {0x00, 0x03, 0x11, 0x22},              // a length that runs past the end
      {0xFF, 0xFF, 0x00},                    // the largest length, almost nothing after it
      {0x00, 0x01, 0x44, 0x00, 0x02, 0x55},  // the second frame short by one
  };
  for (const auto& image : malformed) {
    const auto frameBytes = static_cast<std::uint32_t>(image.size());
    EXPECT_FALSE(FramesEndExactly(image.data(), frameBytes)) << image.size() << " bytes";
    EXPECT_FALSE(WalkFrames(image).back()) << image.size() << " bytes";
  }
}

TEST(FrameTest, OffsetNearTheTopOfTheRangeDoesNotWrap) {
  const std::uint8_t image[2] = {0x00, 0x00};
  EXPECT_FALSE(FrameSizeAt(image, 2, std::numeric_limits<std::uint32_t>::max() - 1));
}

}  // namespace
}  // namespace job
