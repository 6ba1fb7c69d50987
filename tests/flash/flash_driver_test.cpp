// The flash driver core against the simulated chip: error correction, the checks of the
// binary-partition calls with their statuses, and what a write leaves in the partition.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "flash/driver/ecc.h"
#include "flash/driver/flash_core.h"
#include "flash/flash_support.h"
#include "sim/flash_config.h"
#include "sim/flash_media.h"
#include "support/terminal_fixture.h"

namespace {

using namespace flash_driver;
using testing_support::TerminalTest;

TEST(EccTest, CorrectsAnySingleFlipAndDetectsTwo) {
  std::vector<uint8_t> sector(kEccSectorSize);
  for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<uint8_t>(i * 37 + 5);
  uint8_t check[kEccBytes];
  EccCompute(sector.data(), check);
  const std::vector<uint8_t> good = sector;

  for (uint32_t bit = 0; bit < kEccSectorSize * 8; ++bit) {
    std::vector<uint8_t> flipped = good;
    flipped[bit / 8] ^= static_cast<uint8_t>(1U << (bit % 8));
    ASSERT_EQ(EccCorrect(flipped.data(), check), EccResult::kCorrected) << bit;
    ASSERT_EQ(flipped, good) << bit;
  }
  for (uint32_t bit = 0; bit < kEccBytes * 8; ++bit) {
    uint8_t bad[kEccBytes];
    std::memcpy(bad, check, sizeof bad);
    bad[bit / 8] ^= static_cast<uint8_t>(1U << (bit % 8));
    std::vector<uint8_t> copy = good;
    EXPECT_EQ(EccCorrect(copy.data(), bad), EccResult::kCorrected) << bit;
    EXPECT_EQ(copy, good);
  }
  // Two flips: every pair within a stretch of the sector, and pairs far apart.
  for (uint32_t a = 0; a < 64; ++a) {
    for (uint32_t b = a + 1; b < 4096; b += 61) {
      std::vector<uint8_t> twice = good;
      twice[a / 8] ^= static_cast<uint8_t>(1U << (a % 8));
      twice[b / 8] ^= static_cast<uint8_t>(1U << (b % 8));
      ASSERT_EQ(EccCorrect(twice.data(), check), EccResult::kUncorrectable) << a << " " << b;
    }
  }
  // A data flip together with a flip in the check bytes.
  std::vector<uint8_t> both = good;
  both[100] ^= 0x10;
  uint8_t bad[kEccBytes];
  std::memcpy(bad, check, sizeof bad);
  bad[1] ^= 0x04;
  EXPECT_EQ(EccCorrect(both.data(), bad), EccResult::kUncorrectable);
}

TEST(EccTest, ErasedSectorsReadClean) {
  std::vector<uint8_t> erased(kEccSectorSize, 0xFF);
  uint8_t check[kEccBytes];
  EccCompute(erased.data(), check);
  EXPECT_EQ(check[0] & check[1] & check[2], 0xFF);
  EXPECT_EQ(EccCorrect(erased.data(), check), EccResult::kClean);
}

class FlashCoreTest : public TerminalTest {
 protected:
  sim::TerminalConfig Config() const override { return flash_testing::SmallTerminal(); }
  void TearDown() override {
    m_core.reset();
    TerminalTest::TearDown();
  }
  static BinaryPartitionRequest Request(const char* sign, uint32_t start, uint32_t length,
                                        uint8_t* buffer = nullptr) {
    BinaryPartitionRequest bp;
    std::memcpy(bp.oldSign, sign, 4);
    std::memcpy(bp.newSign, sign, 4);
    bp.signOffset = 8;
    bp.startingBlock = start;
    bp.length = length;
    bp.buffer = buffer;
    return bp;
  }
  int Call(int function, uint32_t handle, BinaryPartitionRequest& bp) {
    IoRequest request{handle, &bp};
    return flCall(*m_core, function, &request);
  }
  // The core of a run; a new one forgets what the last one knew.
  std::unique_ptr<FlashCore> m_core = std::make_unique<FlashCore>();
};

TEST_F(FlashCoreTest, CapacityCountsTheUnitsThatCarryTheSignature) {
  // No flInit and no registration: the call initialises the core itself.
  BinaryPartitionRequest bp = Request("KRNL", 0, 0);
  ASSERT_EQ(Call(kFlBinaryPartitionInfo, 1 << 4, bp), kFlOk);
  EXPECT_EQ(bp.startingBlock, 64U * 8192U);
  bp = Request("BOOT", 0, 0);
  ASSERT_EQ(Call(kFlBinaryPartitionInfo, 0 << 4, bp), kFlOk);
  EXPECT_EQ(bp.startingBlock, 32U * 8192U);
  // The signature of another partition, or of none, finds no units.
  bp = Request("BOOT", 0, 0);
  ASSERT_EQ(Call(kFlBinaryPartitionInfo, 1 << 4, bp), kFlOk);
  EXPECT_EQ(bp.startingBlock, 0U);
}

TEST_F(FlashCoreTest, ChecksBeforeAnyMediaAccess) {
  std::vector<uint8_t> block(65536, 0xA5);
  BinaryPartitionRequest bp = Request("KRNL", 0, 2048, block.data());
  EXPECT_EQ(Call(kFlBinaryWriteInit, 0x02 | 1 << 4, bp), kFlBadDriveHandle);  // socket 2
  EXPECT_EQ(Call(kFlBinaryWriteInit, 4 << 4, bp), kFlBadDriveHandle);         // partition 4
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, bp), kFlNotInitialised);
  EXPECT_EQ(Call(7, 1 << 4, bp), kFlBadFunction);

  ASSERT_EQ(Call(kFlBinaryWriteInit, 1 << 4, bp), kFlOk);
  BinaryPartitionRequest write = Request("KRNL", 1, 1000, block.data());
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlBadLength);  // not a multiple of 1,024
  write.length = 3072;
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlBadLength);  // past the 2,048 left
  write.length = 0;
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlOk);  // writes nothing
  write.length = 1024;
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlOk);
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlOk);
  // The remaining length shrank to 0: no block fits any more.
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlBadLength);
  auto data = Term().Find<sim::FlashMedia>()->ReadPartition("KRNL", false);
  ASSERT_TRUE(data.ok()) << data.error();
  EXPECT_EQ(*data, std::string(2048, '\xA5'));
}

TEST_F(FlashCoreTest, RunningOutOfUnitsGives52) {
  // The write init may promise more than the partition holds; the blocks past it fail.
  std::vector<uint8_t> block(65536, 0x3C);
  BinaryPartitionRequest bp = Request("BOOT", 0, 5 * 65536, block.data());
  ASSERT_EQ(Call(kFlBinaryWriteInit, 0, bp), kFlOk);
  BinaryPartitionRequest write = Request("BOOT", 1, 65536, block.data());
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Call(kFlBinaryWriteBlock, 0, write), kFlOk);
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 0, write), kFlNoSpace);
}

TEST_F(FlashCoreTest, WritesReplaceTheWholePartitionAndNothingElse) {
  const std::string disk = Term().Find<sim::FlashMedia>()->ReadDiskArea();
  auto boot = Term().Find<sim::FlashMedia>()->ReadPartition("BOOT", true);
  ASSERT_TRUE(boot.ok());
  std::string image = flash_testing::Pattern(2 * 65536, 3);
  BinaryPartitionRequest init = Request("KRNL", 0, 2 * 65536);
  ASSERT_EQ(Call(kFlBinaryWriteInit, 1 << 4, init), kFlOk);
  for (uint32_t i = 0; i < 2; ++i) {
    BinaryPartitionRequest write =
        Request("KRNL", i + 1, 65536, reinterpret_cast<uint8_t*>(image.data()) + i * 65536);
    ASSERT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlOk);
  }
  auto krnl = Term().Find<sim::FlashMedia>()->ReadPartition("KRNL", true);
  ASSERT_TRUE(krnl.ok());
  EXPECT_TRUE(krnl->substr(0, image.size()) == image);
  EXPECT_TRUE(krnl->substr(image.size()) == std::string(krnl->size() - image.size(), '\xFF'));
  EXPECT_TRUE(Term().Find<sim::FlashMedia>()->ReadDiskArea() == disk);
  EXPECT_TRUE(*Term().Find<sim::FlashMedia>()->ReadPartition("BOOT", true) == *boot);
  const std::vector<sim::PartitionState> partitions = Term().Find<sim::FlashMedia>()->Partitions();
  ASSERT_EQ(partitions.size(), 2U);
  EXPECT_TRUE(partitions[1].complete);
  EXPECT_EQ(partitions[1].bytesWritten, 2U * 65536U);
}

TEST_F(FlashCoreTest, NoChipGives60) {
  Term().MutableConfig().Get<sim::FlashConfig>().present = false;
  Reopen();
  EXPECT_EQ(flRegisterComponents(*m_core), kFlAdapterNotFound);
  BinaryPartitionRequest bp = Request("KRNL", 0, 0);
  EXPECT_EQ(Call(kFlBinaryPartitionInfo, 1 << 4, bp), kFlAdapterNotFound);
  EXPECT_EQ(Term().Hal().WindowCount(), 0U);
}

TEST_F(FlashCoreTest, FlippedBitsAreCorrectedOrFailTheBlock) {
  std::vector<uint8_t> block(65536, 0x5A);
  for (const uint32_t bits : {1U, 2U}) {
    SCOPED_TRACE(bits);
    m_core = std::make_unique<FlashCore>();
    Term().MutableConfig().Get<sim::FlashConfig>().flipBitsAtBlock = 1;
    Term().MutableConfig().Get<sim::FlashConfig>().flippedBits = bits;
    Reopen();
    BinaryPartitionRequest init = Request("BOOT", 0, 65536);
    ASSERT_EQ(Call(kFlBinaryWriteInit, 0, init), kFlOk);
    BinaryPartitionRequest write = Request("BOOT", 1, 65536, block.data());
    EXPECT_EQ(Call(kFlBinaryWriteBlock, 0, write), bits == 1 ? kFlOk : kFlDataError);
  }
}

TEST_F(FlashCoreTest, AProgramFailureFailsTheBlock) {
  Term().MutableConfig().Get<sim::FlashConfig>().failWriteAtBlock = 2;
  Reopen();
  std::vector<uint8_t> block(65536, 0x11);
  BinaryPartitionRequest init = Request("KRNL", 0, 3 * 65536);
  ASSERT_EQ(Call(kFlBinaryWriteInit, 1 << 4, init), kFlOk);
  BinaryPartitionRequest write = Request("KRNL", 1, 65536, block.data());
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlOk);
  EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, write), kFlWriteFault);
  // The factory image, written beside, stays the one in use.
  EXPECT_EQ(Term().Find<sim::FlashMedia>()->Partitions()[1].generation, 1);
}

// Images written one after another: beside the one in use while two fit, over it when they do
// not; the image in use is the newest whole one, and no write loses a unit.
TEST_F(FlashCoreTest, WritesBesideTheImageInUseWhileTwoFit) {
  const auto write = [&](uint32_t blocks, uint8_t fill, uint32_t upTo) {
    std::vector<uint8_t> block(65536, fill);
    BinaryPartitionRequest init = Request("KRNL", 0, blocks * 65536);
    EXPECT_EQ(Call(kFlBinaryWriteInit, 1 << 4, init), kFlOk);
    for (uint32_t i = 0; i < upTo; ++i) {
      BinaryPartitionRequest next = Request("KRNL", i + 1, 65536, block.data());
      EXPECT_EQ(Call(kFlBinaryWriteBlock, 1 << 4, next), kFlOk);
    }
  };
  const auto inUse = [&] {
    auto data = Term().Find<sim::FlashMedia>()->ReadPartition("KRNL", false);
    EXPECT_TRUE(data.ok()) << data.error();
    return data.ok() ? *data : std::string();
  };
  const auto state = [&] { return Term().Find<sim::FlashMedia>()->Partitions()[1]; };
  write(3, 0x11, 3);
  EXPECT_EQ(inUse(), std::string(3 * 65536, '\x11'));
  // Begun and left: the last whole image stays in use.
  write(3, 0x22, 2);
  EXPECT_EQ(inUse(), std::string(3 * 65536, '\x11'));
  EXPECT_EQ(state().generation, 2);
  write(4, 0x33, 4);
  EXPECT_EQ(inUse(), std::string(4 * 65536, '\x33'));
  EXPECT_EQ(state().generation, 4);
  // Five blocks beside four leave no room (72 units of 64): written over the image in use,
  // which stops counting as whole before its first unit goes.
  write(5, 0x44, 1);
  EXPECT_FALSE(state().complete);
  EXPECT_EQ(Term().Versions().kernel, "");
  write(5, 0x55, 5);
  EXPECT_EQ(inUse(), std::string(5 * 65536, '\x55'));
  EXPECT_EQ(state().units, 64U);
}

}  // namespace
