#include "gil.hpp"

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace corvane::python {
namespace {

// The thread that finalizes the interpreter, written once at import.
std::atomic<unsigned long>& main_thread() {
  static std::atomic<unsigned long> ident{0};
  return ident;
}

// Once the interpreter is finalizing, a thread other than the one that
// finalizes it waits for the process to end rather than take the lock.
void wait_if_finalizing() {
  if (!_Py_IsFinalizing() || PyThread_get_thread_ident() == main_thread().load()) return;
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

void note_main_thread() {
  namespace py = pybind11;
  main_thread().store(py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
}

WithoutGil::~WithoutGil() noexcept(false) {
  wait_if_finalizing();
  PyEval_RestoreThread(state_);
}

WithGil::WithGil() {
  if (!PyGILState_Check()) wait_if_finalizing();
  state_ = PyGILState_Ensure();
}

}  // namespace corvane::python
