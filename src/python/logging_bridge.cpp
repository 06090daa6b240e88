#include "python/logging_bridge.hpp"

#include <Python.h>

#include <string>

#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace jointbus::python {

namespace {

PyObject* logging_module = nullptr;

}  // namespace

bool install_logging_bridge() {
    if (logging_module != nullptr) return true;
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    if (!logging) {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        const PyRef owned_type = PyRef::steal(type);
        const PyRef owned_value = PyRef::steal(value);
        const PyRef owned_traceback = PyRef::steal(traceback);
        std::string message = "Failed to initialize python logging";
        if (const PyRef described = PyRef::steal(PyObject_Repr(owned_value.get())); described) {
            message += ": ";
            message += PyUnicode_AsUTF8(described.get());
        }
        PyErr_Clear();
        raise_panic(message.c_str());
        return false;
    }
    logging_module = logging.release();
    return true;
}

}  // namespace jointbus::python
