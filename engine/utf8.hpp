// Strict UTF-8 validation of keys, names and texts read from untrusted bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/bytes.hpp"

namespace molarium {

// The first malformed sequence of a text: where it starts and, unless the text ends inside it,
// how many of its bytes were read before it went wrong (1 to 3).
struct Utf8Error {
  std::size_t valid_up_to;
  std::optional<std::size_t> error_length;
};

// Nothing when the bytes are well-formed UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF, no sequence cut short by the end. The lead byte bounds the second byte, which is
// what rules out overlongs (E0, F0), surrogates (ED) and code points past U+10FFFF (F4).
inline std::optional<Utf8Error> find_utf8_error(ByteView bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return Utf8Error{i, 1};
    }
    for (std::size_t k = 1; k < length; ++k) {
      if (i + k >= bytes.size()) return Utf8Error{i, std::nullopt};
      const std::uint8_t byte = bytes[i + k];
      if (k == 1 ? (byte < low || byte > high) : (byte < 0x80 || byte > 0xBF)) return Utf8Error{i, k};
    }
    i += length;
  }
  return std::nullopt;
}

inline bool is_valid_utf8(ByteView bytes) { return !find_utf8_error(bytes); }

// The bytes as text, without copying or checking.
inline std::string_view as_text(ByteView bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace molarium
