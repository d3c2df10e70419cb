// Failures as values. A native operation returns Status (or Result<T>)
// carrying either success or one error text; only the binding layer turns an
// error into a Python exception. Nothing in the native core throws on
// purpose.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tidemark {

class Status {
 public:
  Status() = default;
  static Status error(std::string text) { return Status(std::move(text)); }

  bool ok() const { return !failed_; }
  const std::string& text() const { return text_; }

 private:
  explicit Status(std::string text) : failed_(true), text_(std::move(text)) {}
  bool failed_ = false;
  std::string text_;
};

// A value or an error text.
template <class T>
class Result {
 public:
  Result(T value) : v_(std::move(value)) {}       // NOLINT: implicit on purpose
  Result(Status error) : v_(std::move(error)) {}  // NOLINT: must hold an error

  bool ok() const { return v_.index() == 0; }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const std::string& error_text() const { return std::get<1>(v_).text(); }
  Status status() const { return ok() ? Status() : std::get<1>(v_); }

 private:
  std::variant<T, Status> v_;
};

// "{description} (os error {n})" for an errno value, the description taken
// from the XSI strerror_r.
std::string os_error_text(int errnum);

}  // namespace tidemark
