// Owning and borrowed references to Python objects.
//
// A Ref owns one reference and gives it up when destroyed; it is made with
// Ref::steal (takes over a new reference, e.g. the result of an API call) or
// Ref::borrow (adds one). A Handle is a borrowed pointer that never changes a
// reference count, such as a bound argument of the current call.
//
// Thread safety: copying or destroying a non-null Ref changes a reference
// count and needs the GIL; a Handle needs it only to be used. Ownership: a
// Handle must not outlive the reference it was borrowed from.
#ifndef VESK_CORE_BINDING_PY_REF_H_
#define VESK_CORE_BINDING_PY_REF_H_

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vesk_core {

// A borrowed reference: never touches the reference count.
class Handle {
 public:
  Handle() = default;
  Handle(PyObject* ptr) : ptr_(ptr) {}  // NOLINT: borrowing is implicit
  PyObject* ptr() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  PyObject* ptr_ = nullptr;
};

// An owning reference: releases its reference when destroyed.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (null allowed, e.g. a failed API call).
  static Ref steal(PyObject* ptr) { return Ref(ptr); }
  // Adds a reference to a borrowed pointer.
  static Ref borrow(PyObject* ptr) { return Ref(Py_XNewRef(ptr)); }

  Ref(const Ref& other) : ptr_(Py_XNewRef(other.ptr_)) {}
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  PyObject* get() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // Hands the reference to the caller (e.g. as a function's result).
  PyObject* release() { return std::exchange(ptr_, nullptr); }

 private:
  explicit Ref(PyObject* ptr) : ptr_(ptr) {}
  PyObject* ptr_ = nullptr;
};

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_PY_REF_H_
