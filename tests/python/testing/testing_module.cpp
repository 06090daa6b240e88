// _jointbus_testing: entry points that exercise the module's internals from Python tests
// without adding anything to the module's public surface. Built only with -Dtests=true.
#include <Python.h>

#include "python/binder.hpp"
#include "python/classes.hpp"

namespace {

using jointbus::python::BoundArguments;
using jointbus::python::Signature;

PyObject* bind_three(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const Signature signature("bind_three()", {"a", "b", "c"}, 3);
    BoundArguments bound;
    if (!bind(signature, args, jointbus::python::positional_count(static_cast<std::size_t>(nargsf)),
              kwnames, bound)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"bind_three",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&bind_three)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_jointbus_testing", nullptr, 0, methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__jointbus_testing() { return PyModule_Create(&definition); }
