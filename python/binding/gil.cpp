#include "gil.hpp"

#include <array>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace corvane::python {
namespace {

// What the threads know of the interpreter's exit; process-wide, like the
// interpreter itself.
struct ExitState {
  std::atomic<unsigned long> main_thread{0};  // written once, at import
  std::atomic<bool> exiting{false};           // set once, by the atexit handler
  // Calls into Python from C++ under way. Changed and read only with the
  // GIL held, whose hand-overs order the changes: no locked read-modify-write
  // is needed (two of them on every call into Python add up).
  std::atomic<int> inside_python{0};
};

ExitState& exit_state() {
  static ExitState state;
  return state;
}

// Whether the calling thread must not call into Python any more.
bool must_wait() {
  ExitState& state = exit_state();
  return (state.exiting.load() || _Py_IsFinalizing()) && PyThread_get_thread_ident() != state.main_thread.load();
}

// How long the atexit handler waits for calls into Python under way: they
// are host code (a logging handler, a users mapping) and normally return at
// once; one that does not must not hold up the exit for ever.
constexpr std::chrono::seconds kExitWait{5};

// The atexit handler: from now on other threads wait instead of calling into
// Python from C++; the calls under way are let finish (the lock is released
// meanwhile).
void quiesce() {
  ExitState& state = exit_state();
  state.exiting.store(true);
  const auto deadline = std::chrono::steady_clock::now() + kExitWait;
  while (state.inside_python.load() > 0 && std::chrono::steady_clock::now() < deadline) {
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_END_ALLOW_THREADS
  }
}

}  // namespace

void wait_for_exit() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void prepare_for_exit() {
  exit_state().main_thread.store(
      py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>());
  py::module_::import("atexit").attr("register")(py::cpp_function(&quiesce));
}

void enter_python() {
  if (must_wait()) {
    PyEval_SaveThread();  // never taken back
    wait_for_exit();
  }
  std::atomic<int>& inside = exit_state().inside_python;
  inside.store(inside.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

void leave_python() {
  std::atomic<int>& inside = exit_state().inside_python;
  inside.store(inside.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

CORVANE_CATCHES_FORCED_UNWIND WithoutGil::~WithoutGil() {
  if (must_wait()) wait_for_exit();
  try {
    PyEval_RestoreThread(state_);
  } catch (abi::__forced_unwind&) {
    wait_for_exit();
  }
}

CORVANE_CATCHES_FORCED_UNWIND WithGil::WithGil() {
  if (!PyGILState_Check() && must_wait()) wait_for_exit();
  try {
    state_ = PyGILState_Ensure();
  } catch (abi::__forced_unwind&) {
    wait_for_exit();
  }
}

WithGil::~WithGil() { PyGILState_Release(state_); }

py::object guarded_call(py::handle callable, std::initializer_list<py::handle> args) {
  std::array<PyObject*, 4> stack{};
  if (args.size() > stack.size()) throw std::logic_error("guarded_call: too many arguments");
  std::size_t count = 0;
  for (py::handle arg : args) stack[count++] = arg.ptr();
  return guarded([&] { return PyObject_Vectorcall(callable.ptr(), stack.data(), count, nullptr); });
}

py::object guarded_getattr(py::handle object, const char* name) {
  return guarded([&] { return PyObject_GetAttrString(object.ptr(), name); });
}

CORVANE_CATCHES_FORCED_UNWIND py::object guarded_next(py::handle iterator) {
  PyObject* next = nullptr;
  enter_python();
  try {
    next = PyIter_Next(iterator.ptr());
  } catch (abi::__forced_unwind&) {
    wait_for_exit();
  }
  leave_python();
  if (next == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::object();
  }
  return py::reinterpret_steal<py::object>(next);
}

void guarded_set(int (*set)(PyObject*, PyObject*, PyObject*), py::handle target, py::handle key, py::handle value) {
  guarded([&] { return set(target.ptr(), key.ptr(), value.ptr()) == 0 ? Py_NewRef(Py_None) : nullptr; });
}

}  // namespace corvane::python
