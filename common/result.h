// A small result type for the host side (the simulator, the tools, the Win32 backend): a value
// or a message that says what went wrong. It needs nothing of the project, so each of them may
// use it without using the others.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace common {

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : m_value(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  static Result Failure(std::string message) {
    Result result;
    result.m_error = std::move(message);
    return result;
  }
  bool ok() const { return m_value.has_value(); }
  explicit operator bool() const { return ok(); }
  T& value() { return *m_value; }
  const T& value() const { return *m_value; }
  T& operator*() { return *m_value; }
  T* operator->() { return &*m_value; }
  const std::string& error() const { return m_error; }

 private:
  Result() = default;
  std::optional<T> m_value;
  std::string m_error;
};

// A result without a value.
class [[nodiscard]] Status {
 public:
  Status() = default;
  static Status Failure(std::string message) {
    Status status;
    status.m_error = std::move(message);
    status.m_failed = true;
    return status;
  }
  bool ok() const { return !m_failed; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return m_error; }

 private:
  std::string m_error;
  bool m_failed = false;
};

}  // namespace common
