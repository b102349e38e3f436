// Tests of the payload element decoders: length refusal, the borrowed and the copying route, and
// bit-exact values on both.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "engine/records/payload_elements.hpp"

namespace molarium::records {
namespace {

using molarium::ByteView;
using molarium::Bytes;

// Little-endian bytes of a 64-bit pattern, written out byte by byte.
void put_le64(Bytes& out, std::uint64_t bits) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

template <class T>
std::vector<T> values_of(CowElements<T> elements) {
  if (elements.is_owned()) return elements.take_owned();
  std::vector<T> out(elements.size());
  decode_le_elements<T>(elements.borrowed_bytes(), out.data());
  return out;
}

// A buffer with room to place a payload at any offset from an 8-byte boundary.
struct Placed {
  alignas(8) std::uint8_t storage[128] = {};
  ByteView at(std::size_t misalignment, const Bytes& payload) {
    std::copy(payload.begin(), payload.end(), storage + 8 + misalignment);
    return ByteView(storage + 8 + misalignment, payload.size());
  }
};

TEST(PayloadElements, LengthNotAMultipleOfTheElementIsRefusedFirst) {
  Placed buffer;
  const Bytes ten(10, 0);
  for (std::size_t misalignment : {0, 1}) {
    auto f32 = cast_or_decode_f32(buffer.at(misalignment, ten));
    ASSERT_FALSE(f32.has_value());
    EXPECT_EQ(f32.error().display(), "Byte length 10 is not a multiple of element size 4");
    auto f64 = cast_or_decode_f64(buffer.at(misalignment, ten));
    ASSERT_FALSE(f64.has_value());
    EXPECT_EQ(f64.error().display(), "Byte length 10 is not a multiple of element size 8");
  }
}

TEST(PayloadElements, AlignedPayloadIsBorrowedAndMisalignedOneCopied) {
  Bytes payload;
  put_le64(payload, std::bit_cast<std::uint64_t>(1.5));
  put_le64(payload, std::bit_cast<std::uint64_t>(-2.25));
  Placed buffer;

  auto aligned = cast_or_decode_f64(buffer.at(0, payload));
  ASSERT_TRUE(aligned.has_value());
  EXPECT_FALSE(aligned->is_owned());
  EXPECT_EQ(aligned->size(), 2u);
  EXPECT_EQ(values_of(std::move(*aligned)), (std::vector<double>{1.5, -2.25}));

  for (std::size_t misalignment = 1; misalignment < 8; ++misalignment) {
    auto copied = cast_or_decode_f64(buffer.at(misalignment, payload));
    ASSERT_TRUE(copied.has_value());
    EXPECT_TRUE(copied->is_owned()) << misalignment;
    EXPECT_EQ(values_of(std::move(*copied)), (std::vector<double>{1.5, -2.25}));
  }
  // Four-byte elements only need four-byte alignment.
  EXPECT_FALSE(cast_or_decode_f32(buffer.at(4, payload))->is_owned());
  EXPECT_TRUE(cast_or_decode_f32(buffer.at(2, payload))->is_owned());
}

TEST(PayloadElements, Int64PayloadKeepsEveryBitOnBothRoutes) {
  const std::vector<std::int64_t> expected{INT64_MIN, -1, 0x0123456789abcdefLL, INT64_MAX};
  Bytes payload;
  for (std::int64_t v : expected) put_le64(payload, static_cast<std::uint64_t>(v));
  Placed buffer;
  for (std::size_t misalignment : {0, 3}) {
    auto elements = cast_or_decode<std::int64_t>(buffer.at(misalignment, payload));
    ASSERT_TRUE(elements.has_value());
    EXPECT_EQ(values_of(std::move(*elements)), expected);
  }
}

TEST(PayloadElements, EmptyPayloadIsAnEmptySequence) {
  auto none = cast_or_decode_f32(ByteView());
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->size(), 0u);
}

}  // namespace
}  // namespace molarium::records
