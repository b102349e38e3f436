// Encoding of a molecule into its pickle payload and decoding it back, with every count read from
// the payload checked against the bytes left before memory is reserved.
#include "engine/pickle.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>

#include "engine/error.hpp"
#include "engine/utf8.hpp"

namespace molarium::pickle {
namespace {

// Every length, count and size is a u64; every enumeration starts with a u32 variant index.
using Length = std::uint64_t;
using VariantIndex = std::uint32_t;

constexpr std::uint8_t kAbsent = 0;
constexpr std::uint8_t kPresent = 1;

constexpr VariantIndex kFloatVariants = 2;  // Vec3Data, Mat3Data, FloatArrayData, FloatScalarData
constexpr VariantIndex kTensorVariants = 4;
constexpr VariantIndex kPropertyVariants = types::property_index::kCount;

template <class T>
struct FixedArray : std::false_type {};
template <class S, std::size_t N>
struct FixedArray<std::array<S, N>> : std::true_type {
  using Scalar = S;
  static constexpr std::size_t kSize = N;
};

// Encoded width of one list element: a number, or a fixed triple or matrix of numbers.
template <class T>
constexpr std::size_t encoded_size() {
  if constexpr (FixedArray<T>::value) {
    return FixedArray<T>::kSize * sizeof(typename FixedArray<T>::Scalar);
  } else {
    static_assert(std::is_arithmetic_v<T>);
    return sizeof(T);
  }
}

// A list of T can be copied as one block when the host is little-endian and T's bytes are its
// encoding (no padding, no bool that might hold another bit pattern).
template <class T>
constexpr bool copies_as_block() {
  if constexpr (FixedArray<T>::value) {
    using S = typename FixedArray<T>::Scalar;
    return copies_as_block<S>() && sizeof(T) == encoded_size<T>();
  } else {
    return std::endian::native == std::endian::little && std::is_arithmetic_v<T> && !std::is_same_v<T, bool>;
  }
}

// ---- Encoding: one walk over the molecule, run against a byte counter, then a byte writer. ----

class SizeCounter {
 public:
  template <class T>
  void scalar(T) {
    size_ += sizeof(T);
  }
  void block(const void*, std::size_t size) { size_ += size; }
  std::size_t size() const { return size_; }

 private:
  std::size_t size_ = 0;
};

// REQUIRES: the buffer holds exactly what the counter measured.
class BufferWriter {
 public:
  explicit BufferWriter(std::uint8_t* out) : out_(out) {}
  template <class T>
  void scalar(T value) {
    store_le<T>(out_, value);
    out_ += sizeof(T);
  }
  void block(const void* data, std::size_t size) {
    if (size != 0) std::memcpy(out_, data, size);
    out_ += size;
  }

 private:
  std::uint8_t* out_;
};

template <class Sink>
class Encoder {
 public:
  explicit Encoder(Sink& sink) : sink_(sink) {}

  void molecule(const atom::Molecule& m) {
    optional(m.name, [&](const std::string& name) { text(name); });
    vec3(m.positions);
    list(m.atomic_numbers);
    optional(m.forces, [&](const types::Vec3Data& v) { vec3(v); });
    optional(m.energy, [&](const types::FloatScalarData& v) { float_variant(v); });
    optional(m.charges, [&](const types::FloatArrayData& v) { float_variant(v); });
    optional(m.velocities, [&](const types::Vec3Data& v) { vec3(v); });
    optional(m.cell, [&](const types::Mat3Data& v) { float_variant(v); });
    optional(m.pbc, [&](const std::array<bool, 3>& flags) {
      for (bool flag : flags) sink_.template scalar<std::uint8_t>(flag ? 1 : 0);
    });
    optional(m.stress, [&](const types::Mat3Data& v) { float_variant(v); });
    map(m.atom_properties);
    map(m.properties);
  }

 private:
  template <class T>
  void element(const T& value) {
    if constexpr (FixedArray<T>::value) {
      for (const auto& scalar : value) sink_.scalar(scalar);
    } else {
      sink_.scalar(value);
    }
  }

  template <class T>
  void list(const std::vector<T>& values) {
    sink_.scalar(static_cast<Length>(values.size()));
    if constexpr (copies_as_block<T>()) {
      sink_.block(values.data(), values.size() * sizeof(T));
    } else {
      for (const T& value : values) element(value);
    }
  }

  void text(const std::string& value) {
    sink_.scalar(static_cast<Length>(value.size()));
    sink_.block(value.data(), value.size());
  }

  template <class T, class F>
  void optional(const std::optional<T>& value, F&& encode) {
    sink_.scalar(value ? kPresent : kAbsent);
    if (value) encode(*value);
  }

  void vec3(const types::Vec3Data& data) {
    sink_.scalar(static_cast<VariantIndex>(data.index()));
    std::visit([&](const auto& triples) { list(triples); }, data);
  }

  // Mat3Data, FloatArrayData or FloatScalarData: the index, then a matrix, a list or a number.
  template <class Variant>
  void float_variant(const Variant& data) {
    sink_.scalar(static_cast<VariantIndex>(data.index()));
    std::visit(
        [&](const auto& value) {
          using T = std::decay_t<decltype(value)>;
          if constexpr (requires { value.data(); value.size(); } && !FixedArray<T>::value) {
            list(value);
          } else {
            element(value);
          }
        },
        data);
  }

  void tensor(const types::TensorData& data) {
    sink_.scalar(static_cast<VariantIndex>(data.index()));
    std::visit(
        [&](const auto& t) {
          list(t.shape);
          list(t.values);
        },
        data);
  }

  void property(const types::PropertyValue& value) {
    sink_.scalar(static_cast<VariantIndex>(value.index()));
    std::visit(
        [&](const auto& v) {
          using T = std::decay_t<decltype(v)>;
          if constexpr (std::is_same_v<T, types::Null>) {
          } else if constexpr (std::is_same_v<T, std::string>) {
            text(v);
          } else if constexpr (std::is_same_v<T, types::TensorData>) {
            tensor(v);
          } else if constexpr (std::is_arithmetic_v<T>) {
            element(v);
          } else {
            list(v);
          }
        },
        value);
  }

  void map(const types::PropertyMap& entries) {
    sink_.scalar(static_cast<Length>(entries.size()));
    for (const auto& [key, value] : entries) {
      text(key);
      property(value);
    }
  }

  Sink& sink_;
};

// ---- Decoding ----

// Names a UTF-8 error by where its sequence starts and how far it got.
std::string describe(const Utf8Error& error) {
  if (error.error_length) {
    return cat("invalid utf-8 sequence of ", *error.error_length, " bytes from index ", error.valid_up_to);
  }
  return cat("incomplete utf-8 byte sequence from index ", error.valid_up_to);
}

// Reads fields in order and keeps the first failure; once failed, every read yields an empty
// value without touching the payload, so the molecule decoder checks once at the end.
class Decoder {
 public:
  explicit Decoder(ByteView payload) : payload_(payload) {}

  bool ok() const { return !failure_; }
  std::string& failure() { return *failure_; }

  // One statement per field, in payload order.
  Result<atom::Molecule> molecule() {
    auto name = optional([&] { return text(); });
    auto positions = vec3();
    auto atomic_numbers = list<std::uint8_t>();
    auto forces = optional([&] { return vec3(); });
    auto energy = optional([&] { return float_scalar(); });
    auto charges = optional([&] { return float_array(); });
    auto velocities = optional([&] { return vec3(); });
    auto cell = optional([&] { return mat3(); });
    auto pbc = optional([&] { return bool_triple(); });
    auto stress = optional([&] { return mat3(); });
    auto atom_properties = map();
    auto properties = map();
    if (!ok()) return value_error(std::move(failure()));

    // The constructor's check keeps the model's invariant: one atomic number per position.
    auto molecule =
        atom::Molecule::with_name_internal(std::move(name), std::move(positions), std::move(atomic_numbers));
    if (!molecule) return molecule;
    molecule->forces = std::move(forces);
    molecule->energy = energy;
    molecule->charges = std::move(charges);
    molecule->velocities = std::move(velocities);
    molecule->cell = cell;
    molecule->pbc = pbc;
    molecule->stress = stress;
    molecule->atom_properties = std::move(atom_properties);
    molecule->properties = std::move(properties);
    return molecule;
  }

 private:
  void fail(std::string message) {
    if (!failure_) failure_ = std::move(message);
  }

  // Takes `size` bytes, or fails with the end-of-file message and yields nullptr.
  const std::uint8_t* take(std::uint64_t size) {
    if (!ok()) return nullptr;
    if (size > payload_.size() - position_) {
      fail("io error: unexpected end of file");
      return nullptr;
    }
    const std::uint8_t* at = payload_.data() + position_;
    position_ += static_cast<std::size_t>(size);
    return at;
  }

  template <class T>
  T scalar() {
    const std::uint8_t* at = take(sizeof(T));
    return at == nullptr ? T{} : load_le<T>(at);
  }

  template <class T>
  static T load_element(const std::uint8_t* at) {
    if constexpr (FixedArray<T>::value) {
      using S = typename FixedArray<T>::Scalar;
      T value;
      for (std::size_t k = 0; k < value.size(); ++k) value[k] = load_le<S>(at + k * sizeof(S));
      return value;
    } else {
      return load_le<T>(at);
    }
  }

  // The count is checked against the bytes left before anything is reserved, so a forged
  // count fails at once instead of allocating.
  template <class T>
  std::vector<T> list() {
    const Length count = scalar<Length>();
    std::uint64_t size = 0;
    if (ok() && !checked_mul(count, encoded_size<T>(), size)) {
      fail("io error: unexpected end of file");
    }
    const std::uint8_t* at = take(size);
    if (at == nullptr) return {};
    std::vector<T> values(static_cast<std::size_t>(count));
    if constexpr (copies_as_block<T>()) {
      if (size != 0) std::memcpy(values.data(), at, static_cast<std::size_t>(size));
    } else {
      for (std::size_t i = 0; i < values.size(); ++i) values[i] = load_element<T>(at + i * encoded_size<T>());
    }
    return values;
  }

  std::string text() {
    const Length length = scalar<Length>();
    const std::uint8_t* at = take(length);
    if (at == nullptr) return {};
    const ByteView bytes(at, static_cast<std::size_t>(length));
    if (auto error = find_utf8_error(bytes)) {
      fail(cat("string is not valid utf8: ", describe(*error)));
      return {};
    }
    return std::string(reinterpret_cast<const char*>(at), bytes.size());
  }

  template <class F>
  std::optional<std::invoke_result_t<F>> optional(F&& decode) {
    const auto tag = scalar<std::uint8_t>();
    if (!ok() || tag == kAbsent) return std::nullopt;
    if (tag != kPresent) {
      fail(cat("tag for enum is not valid, found ", static_cast<unsigned>(tag)));
      return std::nullopt;
    }
    return decode();
  }

  // The variant index, or nothing (with the failure recorded) when it is out of range.
  std::optional<VariantIndex> variant(VariantIndex variants) {
    const auto index = scalar<VariantIndex>();
    if (!ok()) return std::nullopt;
    if (index >= variants) {
      fail(cat("invalid value: integer `", index, "`, expected variant index 0 <= i < ", variants));
      return std::nullopt;
    }
    return index;
  }

  // Decodes a two-variant float type whose F32 and F64 alternatives are read by `read<T>`.
  template <class Variant, class Read>
  Variant float_variant(Read&& read) {
    const auto index = variant(kFloatVariants);
    if (!index) return Variant{};
    if (*index == types::kF32) return Variant(std::in_place_index<types::kF32>, read.template operator()<0>());
    return Variant(std::in_place_index<types::kF64>, read.template operator()<1>());
  }

  types::Vec3Data vec3() {
    return float_variant<types::Vec3Data>([&]<std::size_t I>() {
      return list<typename std::variant_alternative_t<I, types::Vec3Data>::value_type>();
    });
  }

  types::FloatArrayData float_array() {
    return float_variant<types::FloatArrayData>([&]<std::size_t I>() {
      return list<typename std::variant_alternative_t<I, types::FloatArrayData>::value_type>();
    });
  }

  types::Mat3Data mat3() {
    return float_variant<types::Mat3Data>([&]<std::size_t I>() {
      using Matrix = std::variant_alternative_t<I, types::Mat3Data>;
      const std::uint8_t* at = take(encoded_size<Matrix>());
      return at == nullptr ? Matrix{} : load_element<Matrix>(at);
    });
  }

  types::FloatScalarData float_scalar() {
    return float_variant<types::FloatScalarData>(
        [&]<std::size_t I>() { return scalar<std::variant_alternative_t<I, types::FloatScalarData>>(); });
  }

  std::array<bool, 3> bool_triple() {
    std::array<bool, 3> flags{};
    for (bool& flag : flags) {
      const auto byte = scalar<std::uint8_t>();
      if (byte > 1) fail(cat("invalid u8 while decoding bool, expected 0 or 1, found ", static_cast<unsigned>(byte)));
      flag = byte == 1;
    }
    return flags;
  }

  template <class T>
  types::Tensor<T> tensor_of() {
    types::Tensor<T> tensor;
    tensor.shape = list<std::uint64_t>();
    tensor.values = list<T>();
    return tensor;
  }

  types::TensorData tensor() {
    const auto index = variant(kTensorVariants);
    if (!index) return {};
    switch (*index) {
      case 0:
        return tensor_of<float>();
      case 1:
        return tensor_of<double>();
      case 2:
        return tensor_of<std::int32_t>();
      default:
        return tensor_of<std::int64_t>();
    }
  }

  types::PropertyValue property() {
    namespace p = types::property_index;
    const auto index = variant(kPropertyVariants);
    if (!index) return {};
    switch (*index) {
      case p::kNull:
        return types::Null{};
      case p::kF64:
        return scalar<double>();
      case p::kI64:
        return scalar<std::int64_t>();
      case p::kString:
        return text();
      case p::kF64Array:
        return list<double>();
      case p::kVec3F32:
        return list<types::Vec3F32>();
      case p::kI64Array:
        return list<std::int64_t>();
      case p::kF32Array:
        return list<float>();
      case p::kVec3F64:
        return list<types::Vec3F64>();
      case p::kI32Array:
        return list<std::int32_t>();
      default:
        return tensor();
    }
  }

  // Entries vary in size, so nothing is reserved; every entry consumes bytes, so a forged count
  // runs out of payload after as many entries as it really holds. A repeated key keeps the
  // later value.
  types::PropertyMap map() {
    types::PropertyMap entries;
    const Length count = scalar<Length>();
    for (Length i = 0; i < count && ok(); ++i) {
      auto key = text();
      auto value = property();
      if (!ok()) break;
      entries.insert_or_assign(std::move(key), std::move(value));
    }
    return entries;
  }

  ByteView payload_;
  std::size_t position_ = 0;
  std::optional<std::string> failure_;
};

}  // namespace

Bytes encode_molecule(const atom::Molecule& molecule) {
  SizeCounter counter;
  Encoder<SizeCounter>(counter).molecule(molecule);
  Bytes payload(counter.size());
  BufferWriter writer(payload.data());
  Encoder<BufferWriter>(writer).molecule(molecule);
  return payload;
}

Result<atom::Molecule> decode_molecule(ByteView payload) {
  return Decoder(payload).molecule();
}

}  // namespace molarium::pickle
