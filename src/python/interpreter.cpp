#include "python/interpreter.hpp"

#include <unistd.h>

namespace jointbus::python {

// The interpreter it would return to is going away.
void wait_for_exit() {
    for (;;) ::pause();
}

// The interpreter's main thread, the one that finalises it, is the process's first thread (after
// a fork, the forking one), whose thread id is the process id.
bool ended_by_finalisation() { return _Py_IsFinalizing() != 0 && ::gettid() != ::getpid(); }

PyGILState_STATE ensure_thread() {
    try {
        return PyGILState_Ensure();
    } catch (abi::__forced_unwind&) {
        wait_for_exit();
    }
}

}  // namespace jointbus::python
