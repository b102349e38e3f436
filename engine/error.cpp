// Display and debug forms of the engine error.
#include "engine/error.hpp"

#include <cstring>

namespace molarium {

Error Error::from_errno(int errnum) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling the buffer.
  const char* text = strerror_r(errnum, buffer, sizeof buffer);
  return Error(Kind::Io, cat(text, " (os error ", errnum, ")"));
}

std::string Error::display() const {
  switch (kind_) {
    case Kind::Io:
      return "IO error: " + message_;
    case Kind::Compression:
      return "Compression error: " + message_;
    case Kind::InvalidData:
      return "Invalid data: " + message_;
    case Kind::Locked:
    case Kind::Stale:
    case Kind::Value:
    case Kind::Exists:
      return message_;
  }
  return message_;
}

std::string Error::debug() const {
  std::string quoted = "\"";
  for (char c : message_) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  quoted += '"';
  switch (kind_) {
    case Kind::Io:
      return "Io(" + quoted + ")";
    case Kind::Compression:
      return "Compression(" + quoted + ")";
    case Kind::InvalidData:
      return "InvalidData(" + quoted + ")";
    case Kind::Locked:
      return "Locked(" + quoted + ")";
    case Kind::Stale:
      return "Stale(" + quoted + ")";
    case Kind::Value:
      return "Value(" + quoted + ")";
    case Kind::Exists:
      return "Exists(" + quoted + ")";
  }
  return quoted;
}

}  // namespace molarium
