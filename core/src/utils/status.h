// Status and Result: how core operations report failure without exceptions.
//
// A Status is either OK or carries a message and a code:
//   - kInvalidArgument: the caller's input was rejected by a check that the
//     operation documents (the binding raises ValueError with the message);
//   - kInternal: a precondition inside an algorithm was broken (a vector
//     length mismatch, unorderable scores, an out-of-range fusion weight); the
//     binding reports it as an internal failure (PanicException).
// A Result<T> holds either a value or a non-OK Status.
//
// Thread safety: plain values; distinct objects may be used concurrently.
#ifndef VESK_CORE_UTILS_STATUS_H_
#define VESK_CORE_UTILS_STATUS_H_

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace vesk {

class Status {
 public:
  enum class Code : unsigned char { kOk = 0, kInvalidArgument = 1, kInternal = 2 };

  Status() = default;

  static Status OK() { return Status(); }
  static Status InvalidArgument(std::string message) {
    return Status(Code::kInvalidArgument, std::move(message));
  }
  static Status Internal(std::string message) {
    return Status(Code::kInternal, std::move(message));
  }

  bool ok() const { return code_ == Code::kOk; }
  bool IsInvalidArgument() const { return code_ == Code::kInvalidArgument; }
  bool IsInternal() const { return code_ == Code::kInternal; }
  Code code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  Status(Code code, std::string message) : code_(code), message_(std::move(message)) {}

  Code code_ = Code::kOk;
  std::string message_;
};

template <typename T>
class Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit by design
  Result(Status status) : status_(std::move(status)) { assert(!status_.ok()); }  // NOLINT

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }

  // REQUIRES: ok().
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace vesk

#endif  // VESK_CORE_UTILS_STATUS_H_
