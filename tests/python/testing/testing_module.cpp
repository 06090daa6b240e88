// _jointbus_testing: entry points that exercise the module's internals from Python tests
// without adding anything to the module's public surface. Built only with -Dtests=true.
#include <Python.h>

#include <cstring>
#include <stdexcept>

#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/panic.hpp"

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

// Abandons an exchange on `bus` (a jointbus.SocketCanTransport) with an internal fault while
// its lock is held, as a broken invariant in a motor command would.
PyObject* fault_while_holding_bus(PyObject*, PyObject* bus) {
    if (std::strcmp(Py_TYPE(bus)->tp_name, "jointbus.SocketCanTransport") != 0) {
        PyErr_SetString(PyExc_TypeError, "expected a jointbus.SocketCanTransport");
        return nullptr;
    }
    return jointbus::python::at_boundary<PyObject*>([&]() -> PyObject* {
        reinterpret_cast<jointbus::python::BusObject*>(bus)->bus.with_locked(
            [](auto&) { throw std::logic_error("invariant broken mid-exchange"); });
        Py_RETURN_NONE;
    }, nullptr);
}

PyMethodDef methods[] = {
    {"fault_while_holding_bus", fault_while_holding_bus, METH_O, nullptr},
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
