// Test helpers that build and inspect database files byte by byte, independently of the engine.
#pragma once

#include <algorithm>

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace molarium::testing {

using FileBytes = std::vector<std::uint8_t>;

// A fresh path in a per-test directory, removed with the fixture.
class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "molarium-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name();
    // Parameterised tests carry '/' in their names; keep the directory one level deep.
    std::replace(name.begin(), name.end(), '/', '_');
    dir_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  ~TempDir() { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

inline FileBytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return FileBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const FileBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void append_file(const std::string& path, const FileBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Little-endian put and get, byte by byte.
inline void put(FileBytes& bytes, std::size_t at, std::uint64_t value, int width) {
  if (bytes.size() < at + width) bytes.resize(at + width);
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline std::uint64_t get(const FileBytes& bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(bytes.at(at + i)) << (8 * i);
  return value;
}

// Adler-32 as RFC 1950 states it, one byte at a time.
inline std::uint32_t reference_adler32(const std::uint8_t* data, std::size_t length) {
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  for (std::size_t i = 0; i < length; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return b * 65536 + a;
}

// The fields of one header slot as a test writes them.
struct SlotFields {
  std::uint64_t generation = 0;
  std::uint64_t data_start = 8192;
  std::uint64_t index_offset = 0;
  std::uint64_t index_length = 0;
  std::uint64_t record_count = 0;
  std::uint8_t codec = 0;
  std::int32_t level = 0;
  std::uint32_t record_format = 2;
  std::uint64_t schema_offset = 0;
  std::uint64_t schema_length = 0;
};

// 4096 slot bytes with "MOLR", version 2, the fields at their offsets and a valid checksum.
inline FileBytes handmade_slot(const SlotFields& f) {
  FileBytes slot(4096, 0);
  slot[0] = 'M';
  slot[1] = 'O';
  slot[2] = 'L';
  slot[3] = 'R';
  put(slot, 4, 2, 4);
  put(slot, 8, f.generation, 8);
  put(slot, 16, f.data_start, 8);
  put(slot, 24, f.index_offset, 8);
  put(slot, 32, f.index_length, 8);
  put(slot, 40, f.record_count, 8);
  put(slot, 48, f.codec, 1);
  put(slot, 52, static_cast<std::uint32_t>(f.level), 4);
  put(slot, 56, f.record_format, 4);
  put(slot, 60, f.schema_offset, 8);
  put(slot, 68, f.schema_length, 8);
  put(slot, 4092, reference_adler32(slot.data(), 4092), 4);
  return slot;
}

inline void overwrite(const std::string& path, std::size_t at, const FileBytes& bytes) {
  FileBytes file = read_file(path);
  if (file.size() < at + bytes.size()) file.resize(at + bytes.size());
  std::copy(bytes.begin(), bytes.end(), file.begin() + static_cast<std::ptrdiff_t>(at));
  write_file(path, file);
}

inline void flip_byte(const std::string& path, std::size_t at) {
  FileBytes file = read_file(path);
  file.at(at) ^= 0x5a;
  write_file(path, file);
}

// One index entry as 20 bytes: u64 offset, u32 compressed, u32 uncompressed, u32 atoms.
struct EntryFields {
  std::uint64_t offset;
  std::uint32_t compressed_len;
  std::uint32_t uncompressed_len;
  std::uint32_t num_atoms;
};

inline FileBytes handmade_index(std::uint64_t stored_count, const std::vector<EntryFields>& entries) {
  FileBytes bytes;
  put(bytes, 0, stored_count, 8);
  for (const EntryFields& e : entries) {
    const std::size_t at = bytes.size();
    put(bytes, at, e.offset, 8);
    put(bytes, at + 8, e.compressed_len, 4);
    put(bytes, at + 12, e.uncompressed_len, 4);
    put(bytes, at + 16, e.num_atoms, 4);
  }
  return bytes;
}

}  // namespace molarium::testing
