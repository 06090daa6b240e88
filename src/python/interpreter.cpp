#include "python/interpreter.hpp"

#include <cxxabi.h>
#include <unistd.h>

namespace jointbus::python {

namespace {

// The thread never returns to its caller: the interpreter it would return to is going away.
// The process's exit ends it.
[[noreturn]] void wait_for_exit() {
    for (;;) ::pause();
}

}  // namespace

// The interpreter's main thread, the one that finalises it, is the process's first thread (after
// a fork, the forking one), whose thread id is the process id.
bool ended_by_finalisation() { return _Py_IsFinalizing() != 0 && ::gettid() != ::getpid(); }

void restore_thread(PyThreadState* state) {
    if (ended_by_finalisation()) wait_for_exit();
    // Finalisation may begin while this thread waits for the lock: the pthread_exit that ends
    // it then is caught here, before it reaches a frame that cannot pass it.
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        wait_for_exit();
    }
}

PyGILState_STATE ensure_thread() {
    if (ended_by_finalisation()) wait_for_exit();
    try {
        return PyGILState_Ensure();
    } catch (abi::__forced_unwind&) {
        wait_for_exit();
    }
}

}  // namespace jointbus::python
