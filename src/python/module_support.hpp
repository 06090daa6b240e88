// What every extension module built on this layer does when it is imported: it keeps
// process-wide state (type objects, the buses' owners), so it serves exactly one interpreter,
// and it is made once; a type made by an earlier, failed import is reused.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "python/py_ref.hpp"

namespace jointbus::python {

class SingleInterpreterModule {
public:
    // `refusal` is the ImportError's text for a second interpreter.
    explicit constexpr SingleInterpreterModule(const char* refusal) : refusal_(refusal) {}

    // Before making the module: false, with ImportError set, for a second interpreter (or an
    // error getting the interpreter's id); true otherwise, with `existing` the module made
    // before, if any (a new reference).
    [[nodiscard]] bool claim(PyRef& existing) {
        const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) return false;
        std::int64_t expected = -1;
        if (!owner_.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_SetString(PyExc_ImportError, refusal_);
            return false;
        }
        if (module_ != nullptr) existing = PyRef::borrow(module_);
        return true;
    }

    // The module is made: later imports by the same interpreter get it.
    void made(PyObject* module) { module_ = Py_NewRef(module); }

private:
    const char* refusal_;
    std::atomic<std::int64_t> owner_{-1};  // -1 until the first interpreter imports the module
    PyObject* module_ = nullptr;
};

// The class a module exports: the one an earlier, failed import made, or a new one.
inline PyRef class_type(PyTypeObject* existing, PyObject* (*create)()) {
    if (existing != nullptr) return PyRef::borrow(reinterpret_cast<PyObject*>(existing));
    return PyRef::steal(create());
}

}  // namespace jointbus::python
