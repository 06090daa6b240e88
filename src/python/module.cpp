// The module's entry point: one interpreter per process, one module object per process.

#include "python/classes.hpp"
#include "python/logging_bridge.hpp"
#include "python/module_support.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace jointbus::python {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "jointbus",
    "",  // an empty docstring, not None
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

SingleInterpreterModule once("jointbus can only be imported by one interpreter per process");

// Appends `name` to __all__ (made on first use), then sets the attribute; takes `value`.
bool add_attribute(PyObject* module, const char* name, PyRef&& value) {
    if (!value) return false;
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return false;
    }
    const PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) != 0) {
        PyErr_Clear();
        throw InternalFault("could not append __name__ to __all__");
    }
    return PyObject_SetAttrString(module, name, value.get()) == 0;
}

PyObject* initialise() {
    PyRef existing;
    if (!once.claim(existing)) return nullptr;
    if (existing) return existing.release();

    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (!install_logging_bridge()) return nullptr;
    PyObject* m = module.get();
    const bool added =
        add_attribute(m, "__version__", PyRef::steal(PyUnicode_FromString("1.0.1"))) &&
        add_attribute(m, "MitLimits", class_type(class_types.mit_limits, create_mit_limits_type)) &&
        add_attribute(m, "MitSetpoint",
                      class_type(class_types.mit_setpoint, create_mit_setpoint_type)) &&
        add_attribute(m, "MotorState",
                      class_type(class_types.motor_state, create_motor_state_type)) &&
        add_attribute(m, "Damiao", class_type(class_types.damiao, create_damiao_type)) &&
        add_attribute(m, "SocketCanTransport", class_type(class_types.bus, create_bus_type)) &&
        add_attribute(m, "mit_setpoint", PyRef::steal(create_mit_setpoint_function(m)));
    if (!added) return nullptr;
    once.made(m);
    return module.release();
}

}  // namespace

}  // namespace jointbus::python

PyMODINIT_FUNC PyInit_jointbus() {
    return jointbus::python::at_boundary<PyObject*>(&jointbus::python::initialise, nullptr);
}
