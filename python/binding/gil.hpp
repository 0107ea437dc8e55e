// The interpreter lock around C++ work, for threads that may still be inside
// the policy when the interpreter exits.
//
// Python ends a thread that asks for the lock after finalization has begun
// (a daemon thread, say) by unwinding its stack; doing that from a destructor
// that may not throw aborts the process. These guards let such a thread wait
// instead, for the exit that is under way: it never runs Python code again.
#pragma once

#include <Python.h>

namespace corvane::python {

// Notes which thread will finalize the interpreter (the main thread); called
// once, at import, with the lock held.
void note_main_thread();

// Releases the lock for its lifetime (the calling thread must hold it).
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  // May let the interpreter's thread exit unwind through it (see above).
  ~WithoutGil() noexcept(false);
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// Takes the lock for its lifetime, from any thread, held or not.
class WithGil {
 public:
  WithGil();
  ~WithGil() { PyGILState_Release(state_); }
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace corvane::python
