// The module's entry point: one interpreter per process, one module object per process.
#include <atomic>
#include <cstdint>

#include "python/classes.hpp"
#include "python/logging_bridge.hpp"
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

// -1 until the first interpreter imports the module. The module keeps process-wide state
// (type objects, the bus sockets' owners), so it serves exactly one interpreter.
std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_object = nullptr;

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

// The type made by an earlier, failed import is reused: a type exists once per process.
PyRef class_type(PyTypeObject* existing, PyObject* (*create)()) {
    if (existing != nullptr) return PyRef::borrow(reinterpret_cast<PyObject*>(existing));
    return PyRef::steal(create());
}

PyObject* initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "jointbus can only be imported by one interpreter per process");
        return nullptr;
    }
    if (module_object != nullptr) return Py_NewRef(module_object);

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
    module_object = Py_NewRef(m);
    return module.release();
}

}  // namespace

}  // namespace jointbus::python

PyMODINIT_FUNC PyInit_jointbus() {
    return jointbus::python::at_boundary<PyObject*>(&jointbus::python::initialise, nullptr);
}
