// The engine's error value and the Result type every fallible engine operation returns.
#pragma once

#include <expected>
#include <sstream>
#include <string>
#include <utility>

namespace molarium {

// One engine failure. The message is formatted where the failure is found and travels up
// unchanged; the Python boundary shows display() as the text of the exception its kind maps to.
class Error {
 public:
  // Locked: another handle holds the file's write lock. Stale: this handle may no longer write,
  // because the file was committed or replaced by another handle, or the handle's lock belongs to
  // another process. Both refuse before anything is written. Value: a refusal of the caller's
  // input, whose message is shown as it is. Exists: a new file was to be made where one already
  // is; the message is the name it was to be made at.
  enum class Kind { Io, Compression, InvalidData, Locked, Stale, Value, Exists };

  Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  // An Io error from an errno value, carrying the operating system's text.
  static Error from_errno(int errnum);

  Kind kind() const { return kind_; }
  const std::string& message() const { return message_; }

  // "IO error: {}", "Compression error: {}" or "Invalid data: {}"; a Locked, Stale or Value message
  // as it is.
  std::string display() const;
  // The variant name and the carried text in debug form, e.g. InvalidData("Index too small").
  std::string debug() const;

 private:
  Kind kind_;
  std::string message_;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> invalid_data(std::string message) {
  return std::unexpected(Error(Error::Kind::InvalidData, std::move(message)));
}
inline std::unexpected<Error> compression_error(std::string message) {
  return std::unexpected(Error(Error::Kind::Compression, std::move(message)));
}
inline std::unexpected<Error> io_error(std::string message) {
  return std::unexpected(Error(Error::Kind::Io, std::move(message)));
}
inline std::unexpected<Error> locked_error(std::string message) {
  return std::unexpected(Error(Error::Kind::Locked, std::move(message)));
}
inline std::unexpected<Error> stale_handle(std::string message) {
  return std::unexpected(Error(Error::Kind::Stale, std::move(message)));
}
inline std::unexpected<Error> value_error(std::string message) {
  return std::unexpected(Error(Error::Kind::Value, std::move(message)));
}
inline std::unexpected<Error> errno_error(int errnum) {
  return std::unexpected(Error::from_errno(errnum));
}

// Concatenates the arguments as an ostream would print them; the engine's message formatter.
template <class... Args>
std::string cat(const Args&... args) {
  std::ostringstream out;
  (out << ... << args);
  return out.str();
}

}  // namespace molarium

// Propagates the error of a Result-returning expression, otherwise yields nothing.
#define MOLARIUM_TRY_VOID(expr)                                        \
  do {                                                                 \
    auto molarium_try_result_ = (expr);                                \
    if (!molarium_try_result_) {                                       \
      return std::unexpected(std::move(molarium_try_result_).error()); \
    }                                                                  \
  } while (0)

#define MOLARIUM_CONCAT_INNER_(a, b) a##b
#define MOLARIUM_CONCAT_(a, b) MOLARIUM_CONCAT_INNER_(a, b)
#define MOLARIUM_ASSIGN_OR_RETURN_IMPL_(result, decl, expr)      \
  auto result = (expr);                                          \
  if (!result) return std::unexpected(std::move(result).error()); \
  decl = std::move(*result)

// Evaluates a Result-returning expression: on failure returns its error from the enclosing
// function, otherwise declares or assigns `decl` from its value, e.g.
// MOLARIUM_ASSIGN_OR_RETURN(auto entry, database.record(k)). A statement, not an expression: it
// may not be the body of an unbraced if.
#define MOLARIUM_ASSIGN_OR_RETURN(decl, expr) \
  MOLARIUM_ASSIGN_OR_RETURN_IMPL_(MOLARIUM_CONCAT_(molarium_assign_result_, __LINE__), decl, expr)
