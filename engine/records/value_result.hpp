// ValueResult: a failure whose message is shown as it is, without the display prefix an engine
// Error carries (the extension raises it as ValueError with exactly this text).
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace molarium::records {

template <class T>
using ValueResult = std::expected<T, std::string>;

inline std::unexpected<std::string> value_error(std::string message) { return std::unexpected(std::move(message)); }

}  // namespace molarium::records
