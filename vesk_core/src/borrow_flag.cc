// Reporting of borrow conflicts.
#include "borrow_flag.h"

#include <string>

#include "py_errors.h"

namespace vesk_core {

void RaiseBorrowConflict(bool exclusive, const char* owner) {
  if (owner == nullptr) {
    PyErr_SetString(PyExc_RuntimeError,
                    exclusive ? "Already borrowed" : "Already mutably borrowed");
  } else {
    RaisePanic(std::string(owner) +
               (exclusive ? " is already borrowed" : " is already mutably borrowed"));
  }
}

}  // namespace vesk_core
