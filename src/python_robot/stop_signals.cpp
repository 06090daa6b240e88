#include "python_robot/stop_signals.hpp"

#include <csignal>

#include "python/convert.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace jointbus::python_robot {

namespace {

using python::PyRef;

// The signals the handler takes over, and the name of each one's default in the signal module.
struct Taken {
    int number;
    const char* default_name;
    bool installed = false;
};
Taken taken[] = {{SIGTERM, "SIG_DFL"}, {SIGINT, "default_int_handler"}};

PyObject* stop_program(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return python::at_boundary<PyObject*>(
        [&]() -> PyObject* {
            int signum = SIGTERM;
            if (nargs > 0 && !python::to_int(args[0], "signum", signum)) return nullptr;
            stop_open_robots(signum);
            if (!any_robot_open() && !restore_stop_handlers()) return nullptr;
            if (signum == SIGINT) {
                PyErr_SetNone(PyExc_KeyboardInterrupt);
                return nullptr;
            }
            return raise_stopped(signum);
        },
        nullptr);
}

PyMethodDef stop_program_definition = {
    "stop_robots", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&stop_program)),
    METH_FASTCALL,
    "stop_robots(signum, frame, /)\n--\n\n"
    "Stop every open Robot, then raise SystemExit(143) (KeyboardInterrupt for SIGINT)."};

// The handler, made once and kept: the signal module holds it while it is installed.
PyObject* handler() {
    static PyObject* made = PyCFunction_New(&stop_program_definition, nullptr);
    return made;
}

// One signal taken over, as the signal module sees it now.
struct Seen {
    PyObject* signal;     // the module
    PyObject* number;     // int
    PyObject* installed;  // its handler now
    PyObject* fallback;   // its default
};

bool set_handler(const Seen& seen, PyObject* to) {
    return static_cast<bool>(
        PyRef::steal(PyObject_CallMethod(seen.signal, "signal", "OO", seen.number, to)));
}

// Calls `change(taken, seen)` for each signal taken over; only in the main thread, where the
// signal module allows a change.
template <class Change>
bool for_each_signal(Change&& change) {
    if (_PyOS_IsMainThread() == 0) return true;
    const PyRef signal = PyRef::steal(PyImport_ImportModule("signal"));
    if (!signal || handler() == nullptr) return false;
    for (Taken& each : taken) {
        const PyRef number = PyRef::steal(PyLong_FromLong(each.number));
        const PyRef fallback =
            PyRef::steal(PyObject_GetAttrString(signal.get(), each.default_name));
        if (!number || !fallback) return false;
        const PyRef installed =
            PyRef::steal(PyObject_CallMethod(signal.get(), "getsignal", "O", number.get()));
        if (!installed) return false;
        if (!change(each, Seen{signal.get(), number.get(), installed.get(), fallback.get()})) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool install_stop_handlers() {
    return for_each_signal([](Taken& each, const Seen& seen) {
        const int is_default = PyObject_RichCompareBool(seen.installed, seen.fallback, Py_EQ);
        if (is_default != 1) return is_default == 0;
        each.installed = set_handler(seen, handler());
        return each.installed;
    });
}

bool restore_stop_handlers() {
    return for_each_signal([](Taken& each, const Seen& seen) {
        if (!each.installed) return true;
        // A handler the program installed since is its own.
        if (seen.installed == handler() && !set_handler(seen, seen.fallback)) return false;
        each.installed = false;
        return true;
    });
}

bool stop_handlers_installed() {
    for (const Taken& each : taken) {
        if (each.installed) return true;
    }
    return false;
}

PyObject* raise_stopped(int signum) {
    const PyRef status = PyRef::steal(PyLong_FromLong(128 + signum));
    if (status) PyErr_SetObject(PyExc_SystemExit, status.get());
    return nullptr;
}

}  // namespace jointbus::python_robot
