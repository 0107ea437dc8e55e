// The interpreter lock around C++ work, for threads that may still be inside
// the policy when the interpreter exits.
//
// Python ends a thread that asks for the lock after finalization has begun
// (a daemon thread, say) by unwinding its stack, also from inside Python code
// that C++ called; unwinding through C++ frames then releases Python objects
// without the lock, or aborts inside a catch block or a destructor. So once
// the interpreter is about to finalize (an atexit handler says so, after
// waiting for the calls into Python that C++ is making to return), a thread
// other than the main one waits for the exit instead of calling into Python
// from C++ or taking the lock back: it never runs Python code again.
#pragma once

#include <cxxabi.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <initializer_list>
#include <optional>
#include <type_traits>

namespace corvane::python {

namespace py = pybind11;

// Catching the forced unwind by reference binds to no exception object, which
// UndefinedBehaviorSanitizer's null check reports; the functions that catch
// it are exempt from that check alone.
#define CORVANE_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))

// Never returns: the calling thread waits for the process to end.
[[noreturn]] void wait_for_exit();

// Around one call into Python from C++, with the lock held: the first waits
// for the exit (releasing the lock) once the interpreter is about to finalize.
void enter_python();
void leave_python();

// The result of `call`, calls of the interpreter's C API on objects that
// outer frames own, giving a new reference (null with the error set; an
// error_already_set then). If the interpreter ends the thread meanwhile (see
// above), the thread waits here: no C++ frame between the interpreter and
// this one releases Python objects without the lock. Every call into host
// code from C++ goes through here.
template <typename Call>
CORVANE_CATCHES_FORCED_UNWIND py::object guarded(Call&& call) {
  PyObject* result = nullptr;
  enter_python();
  try {
    result = call();
  } catch (abi::__forced_unwind&) {
    wait_for_exit();
  }
  leave_python();
  if (result == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// `callable(*args)` through guarded(), without an argument tuple (at most
// four arguments).
py::object guarded_call(py::handle callable, std::initializer_list<py::handle> args = {});
// getattr(object, name) through guarded().
py::object guarded_getattr(py::handle object, const char* name);
// The next item of `iterator` through guarded(); a null object at the end.
py::object guarded_next(py::handle iterator);
// The status of a C API call that sets something (0 or -1 with the error
// set) through guarded().
void guarded_set(int (*set)(PyObject*, PyObject*, PyObject*), py::handle target, py::handle key, py::handle value);

// Notes which thread will finalize the interpreter (the main thread) and
// registers the atexit handler described above; called once, at import,
// with the lock held.
void prepare_for_exit();


// Releases the lock for its lifetime (the calling thread must hold it); use
// it through without_gil(), so that the lock is never taken back while an
// exception unwinds the stack.
class WithoutGil {
 public:
  WithoutGil() : state_(PyEval_SaveThread()) {}
  ~WithoutGil();
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// Takes the lock for its lifetime, from any thread, held or not.
class WithGil {
 public:
  WithGil();
  ~WithGil();
  WithGil(const WithGil&) = delete;
  WithGil& operator=(const WithGil&) = delete;

 private:
  PyGILState_STATE state_;
};

// The result of `work`, run without the lock. An exception it throws is
// thrown again once the lock is back: the lock is not taken while one
// unwinds the stack (the interpreter may end the thread then, see above).
template <typename Work>
CORVANE_CATCHES_FORCED_UNWIND auto without_gil(Work&& work) -> decltype(work()) {
  using Result = decltype(work());
  std::exception_ptr failure;
  if constexpr (std::is_void_v<Result>) {
    {
      WithoutGil unlocked;
      try {
        work();
      } catch (abi::__forced_unwind&) {
        wait_for_exit();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
  } else {
    std::optional<Result> result;
    {
      WithoutGil unlocked;
      try {
        result.emplace(work());
      } catch (abi::__forced_unwind&) {
        wait_for_exit();
      } catch (...) {
        failure = std::current_exception();
      }
    }
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
  }
}

}  // namespace corvane::python
