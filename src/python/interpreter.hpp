// Taking the interpreter lock from a thread that is not the one finalising the interpreter.
//
// Once finalisation has begun, CPython 3.11 ends such a thread inside the call that takes the
// lock (PyEval_RestoreThread, PyGILState_Ensure) with pthread_exit; the main thread, which
// finalises it, takes and releases the lock as before. That unwinds the thread's
// C++ frames too; the first frame that may not throw (a destructor, a noexcept boundary)
// turns the unwinding into std::terminate, and the process aborts at exit ("terminate called
// without an active exception"). These take the lock as those calls do; when the interpreter
// is being finalised, the calling thread instead waits, running nothing more, until the
// process exits.
#pragma once

#include <Python.h>
#include <cxxabi.h>

namespace jointbus::python {

// Whether the interpreter is being finalised by another thread than the calling one, which
// can then no longer take the lock.
[[nodiscard]] bool ended_by_finalisation();

// Never returns: the calling thread waits, running nothing more, until the process exits.
[[noreturn]] void wait_for_exit();

// PyEval_RestoreThread(state). The interpreter ends the thread while it waits for the lock, or at
// once when finalisation began before; that pthread_exit is caught here, before it reaches a
// frame that cannot pass it. Inline and without a check first: it is on every tick's path, and
// the catch costs nothing until it catches.
inline void restore_thread(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        wait_for_exit();
    }
}

// PyGILState_Ensure().
[[nodiscard]] PyGILState_STATE ensure_thread();

// Releases the interpreter lock for as long as it lives.
class InterpreterReleased {
public:
    InterpreterReleased() : state_(PyEval_SaveThread()) {}
    InterpreterReleased(const InterpreterReleased&) = delete;
    InterpreterReleased& operator=(const InterpreterReleased&) = delete;
    ~InterpreterReleased() { restore_thread(state_); }

private:
    PyThreadState* state_;
};

}  // namespace jointbus::python
