#include "python/panic.hpp"

namespace jointbus::python {

namespace {

// Created on the first fault and kept for the life of the process (one interpreter only).
PyObject* panic_exception_type() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc(
            "jointbus.panic.PanicException",
            "An internal invariant of jointbus was broken; the operation was abandoned.",
            PyExc_BaseException, nullptr);
    }
    return type;
}

}  // namespace

PyObject* raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    if (type != nullptr) PyErr_SetString(type, message);
    return nullptr;
}

}  // namespace jointbus::python
