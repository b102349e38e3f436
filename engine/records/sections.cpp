// The section writer shared by the engine's molecule writer and the batch record builder.
#include "engine/records/sections.hpp"

namespace molarium::records {

Result<void> check_section_fits(std::string_view key, std::uint64_t payload_length) {
  if (key.size() > storage::soa::kMaxKeyLength) return invalid_data(cat("Section key '", key, "' is too long"));
  if (payload_length > storage::soa::kMaxPayloadLength) {
    return invalid_data(cat("Section '", key, "' payload is too large"));
  }
  return {};
}

void append_section_header(Bytes& record, storage::SectionKind kind, std::string_view key, storage::TypeTag type_tag,
                           std::uint64_t payload_length) {
  append_le<std::uint8_t>(record, storage::kind_byte(kind));
  append_le<std::uint8_t>(record, static_cast<std::uint8_t>(key.size()));
  record.insert(record.end(), key.begin(), key.end());
  append_le<std::uint8_t>(record, storage::tag_byte(type_tag));
  append_le<std::uint32_t>(record, static_cast<std::uint32_t>(payload_length));
}

Result<void> write_section(Bytes& record, storage::SectionKind kind, std::string_view key, storage::TypeTag type_tag,
                           ByteView payload) {
  MOLARIUM_TRY_VOID(check_section_fits(key, payload.size()));
  append_section_header(record, kind, key, type_tag, payload.size());
  append_bytes(record, payload);
  return {};
}

}  // namespace molarium::records
