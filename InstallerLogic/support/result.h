// A small result type for the helpers that report failures in words: the error names the
// structure, the offset and the rule that was broken. The installer's own operations, which
// report by their result (false, -1, empty) after a trace line, do not use it.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace support {

struct Error {
  std::string message;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}
  Result(Error error) : error_(std::move(error.message)) {}

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }
  T& operator*() { return *value_; }
  const T& operator*() const { return *value_; }
  const std::string& error() const { return error_; }
  // The error alone, to hand up unchanged: `if (!x) return x.takeError();`.
  Error takeError() const { return Error{error_}; }

 private:
  std::optional<T> value_;
  std::string error_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : failed_(true), error_(std::move(error.message)) {}
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return error_; }
  Error takeError() const { return Error{error_}; }

 private:
  bool failed_ = false;
  std::string error_;
};

using Status = Result<void>;

// Formats an error message printf-style.
Error Errorf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace support
