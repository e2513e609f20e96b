// Borrow flags: the per-instance counter that makes conflicting access to an
// object's value visible instead of undefined, and the scoped borrows that
// take it.
//
// A flag is 0 when free, the number of readers while shared and all bits set
// while one writer holds it. Every instance carries one (readers share it,
// setters take it alone); an Index also guards its core index with one, its
// access cell, whose conflicts are internal faults rather than usage errors.
// With the GIL held throughout a call and no Python code run while a borrow is
// held, no conflict can come from single-threaded Python code.
//
// Thread safety: GIL held. Ownership: a borrow refers to its flag and must not
// outlive the object that holds the flag.
#ifndef VESK_CORE_BINDING_BORROW_FLAG_H_
#define VESK_CORE_BINDING_BORROW_FLAG_H_

#include <cstdint>

namespace vesk_core {

class BorrowFlag {
 public:
  static constexpr uintptr_t kExclusive = ~uintptr_t{0};

  // Each Try* returns false, and changes nothing, on a conflict.
  bool TryShared() {
    if (count_ == kExclusive) return false;
    ++count_;
    return true;
  }
  bool TryExclusive() {
    if (count_ != 0) return false;
    count_ = kExclusive;
    return true;
  }
  void ReleaseShared() { --count_; }
  void ReleaseExclusive() { count_ = 0; }

 private:
  uintptr_t count_ = 0;
};

// How a conflicting borrow is reported: RuntimeError "Already mutably
// borrowed" / "Already borrowed" for an instance's own flag, or, for a flag
// that guards the value of `owner` (an access cell), PanicException
// "<owner> is already mutably borrowed" / "<owner> is already borrowed".
void RaiseBorrowConflict(bool exclusive, const char* owner);

// A scoped borrow, shared or exclusive. On a conflict it raises (see
// RaiseBorrowConflict) and holds nothing: check ok() after construction.
template <bool kExclusive>
class Borrow {
 public:
  explicit Borrow(BorrowFlag& flag, const char* owner = nullptr) : flag_(&flag) {
    if (!(kExclusive ? flag.TryExclusive() : flag.TryShared())) {
      flag_ = nullptr;
      RaiseBorrowConflict(kExclusive, owner);
    }
  }
  ~Borrow() {
    if (flag_ == nullptr) return;
    if constexpr (kExclusive) {
      flag_->ReleaseExclusive();
    } else {
      flag_->ReleaseShared();
    }
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

  bool ok() const { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

}  // namespace vesk_core

#endif  // VESK_CORE_BINDING_BORROW_FLAG_H_
