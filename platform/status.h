// The outcome of an operation that can fail for a reason an operator should read.
//
// A Status is either ok or a failure with a message and, where one fits, the MQ reason code an
// MQI call would have given (else 0). Context is added where the failure is seen, outermost
// last: Status::Error("no such queue", 2085).withContext("QM1") reads "QM1: no such queue".
// A Result<T> is a Status and, on success, a value; it is made from either, so a failure passes
// up with `if (!s.ok()) return s;` whatever the caller returns.
//
// The MQI calls themselves keep their completion and reason codes; this type serves the layers
// above them (administration, the operator tools) and below them (platform).
#ifndef QT_PLATFORM_STATUS_H
#define QT_PLATFORM_STATUS_H

#include <concepts>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace qt {

class Status {
 public:
  static Status Ok() { return Status(); }
  static Status Error(std::string message, int32_t reason = 0) {
    Status s;
    s.ok_ = false;
    s.message_ = std::move(message);
    s.reason_ = reason;
    return s;
  }

  bool ok() const { return ok_; }
  const std::string& message() const { return message_; }
  int32_t reason() const { return reason_; }  // 0 when no MQ reason fits (and when ok)

  // The same failure with "<where>: " before its message; an ok status stays as it is.
  Status withContext(const std::string& where) const& {
    Status s = *this;
    return std::move(s).withContext(where);
  }
  Status withContext(const std::string& where) && {
    if (!ok_) message_ = where + ": " + message_;
    return std::move(*this);
  }

 private:
  bool ok_ = true;
  std::string message_;
  int32_t reason_ = 0;
};

template <typename T>
struct Result {
  Result() = default;
  // A failure. (An ok status makes a success with a default value.)
  Result(Status failure) : status(std::move(failure)) {}  // NOLINT: implicit by design
  // A success holding `v` (anything T is made from, such as a pointer to a derived class).
  template <typename U>
    requires std::constructible_from<T, U&&> &&
             (!std::same_as<std::remove_cvref_t<U>, Status>) &&
             (!std::same_as<std::remove_cvref_t<U>, Result>)
  Result(U&& v) : value(std::forward<U>(v)) {}  // NOLINT: implicit by design

  bool ok() const { return status.ok(); }

  Status status;
  T value{};
};

}  // namespace qt

#endif  // QT_PLATFORM_STATUS_H
