// Index helpers of zorvane/bit_index.h, checked on the host against direct
// bit-by-bit constructions and against each other.
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "zorvane/bit_index.h"

namespace {

using zorvane::compact_bits;
using zorvane::deposit_bits;
using zorvane::insert_zero_at;
using zorvane::insert_zero_bit;
using zorvane::insert_zero_bits;

// Reference: walk the 64 result positions, taking the next bit of k for every
// position not in the mask.
uint64_t spread_reference(uint64_t k, uint64_t mask) {
  uint64_t out = 0;
  for (int pos = 0; pos < 64; ++pos) {
    if ((mask >> pos) & 1) continue;
    out |= (k & 1) << pos;
    k >>= 1;
  }
  return out;
}

std::vector<uint64_t> random_masks(int count, int max_bits) {
  std::mt19937_64 rng(12345);
  std::vector<uint64_t> masks;
  for (int i = 0; i < count; ++i) {
    uint64_t mask = 0;
    const int bits = static_cast<int>(rng() % (max_bits + 1));
    for (int b = 0; b < bits; ++b) mask |= uint64_t{1} << (rng() % 40);
    masks.push_back(mask);
  }
  return masks;
}

TEST(BitIndex, InsertZeroBitMovesHigherBitsUp) {
  EXPECT_EQ(insert_zero_bit(0b1011, 0b100), 0b10011u);
  EXPECT_EQ(insert_zero_bit(0b1111, 0b1), 0b11110u);
  EXPECT_EQ(insert_zero_bit(0b1111, uint64_t{1} << 4), 0b1111u);
  for (int position = 0; position < 40; ++position)
    for (uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{0x5a5a5}, uint64_t{0xffffffff}}) {
      const uint64_t bit = uint64_t{1} << position;
      EXPECT_EQ(insert_zero_bit(k, bit), spread_reference(k, bit)) << k << " at " << position;
      EXPECT_EQ(insert_zero_at(k, position), insert_zero_bit(k, bit));
    }
}

// The pair kernels' example: a gate on qubits 0, 2 and 3 (mask 13) spreads
// threads 0..3 over the indices whose mask bits are all zero.
TEST(BitIndex, InsertZeroBitsOverAMask) {
  const uint64_t expected[] = {0, 2, 16, 18};
  for (uint64_t t = 0; t < 4; ++t) EXPECT_EQ(insert_zero_bits(t, 13), expected[t]) << t;
  for (uint64_t mask : random_masks(200, 8))
    for (uint64_t k : {uint64_t{0}, uint64_t{1}, uint64_t{0x1234567}, uint64_t{0xfffffff}}) {
      const uint64_t spread = insert_zero_bits(k, mask);
      ASSERT_EQ(spread, spread_reference(k, mask)) << "mask " << mask << " k " << k;
      ASSERT_EQ(spread & mask, 0u);
    }
}

TEST(BitIndex, CompactAndDepositAreInverseOnTheMask) {
  std::mt19937_64 rng(99);
  for (uint64_t mask : random_masks(200, 20)) {
    const int width = __builtin_popcountll(mask);
    const uint64_t low = width == 64 ? ~uint64_t{0} : (uint64_t{1} << width) - 1;
    for (int i = 0; i < 20; ++i) {
      const uint64_t value = rng();
      ASSERT_EQ(deposit_bits(compact_bits(value, mask), mask), value & mask) << "mask " << mask;
      ASSERT_EQ(compact_bits(deposit_bits(value, mask), mask), value & low) << "mask " << mask;
      // Depositing into the clear bits is what insert_zero_bits does.
      ASSERT_EQ(deposit_bits(value, ~mask), insert_zero_bits(value, mask)) << "mask " << mask;
    }
  }
  EXPECT_EQ(compact_bits(0b101101, 0b001100), 0b11u);
  EXPECT_EQ(deposit_bits(0b10, 0b101000), 0b100000u);
}

TEST(BitIndex, MaskedAddWalksTheDepositedCounter) {
  std::mt19937_64 rng(5);
  for (uint64_t mask : random_masks(100, 12)) {
    const int width = __builtin_popcountll(mask);
    const uint64_t end = uint64_t{1} << std::min(width, 12);
    for (const uint64_t step : {uint64_t{1}, uint64_t{3}, uint64_t{4}, uint64_t{128}, rng() % end + 1}) {
      const uint64_t start = rng() % end;
      uint64_t walked = deposit_bits(start, mask);
      for (uint64_t j = start; j < end; j += step) {
        ASSERT_EQ(walked, deposit_bits(j, mask)) << "mask " << mask << " j " << j << " step " << step;
        walked = zorvane::masked_add(walked, deposit_bits(step, mask), mask);
      }
    }
  }
}

}  // namespace
