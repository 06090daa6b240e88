// The jointbus_robot module's entry point: one interpreter per process, one module object per
// process, as for jointbus.
#include <cstring>

#include "python/classes.hpp"
#include "python/logging_bridge.hpp"
#include "python/module_support.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python_robot/robot_classes.hpp"

namespace jointbus::python_robot {

namespace {

using python::class_type;
using python::PyRef;

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "jointbus_robot",
    "A whole robot every tick: every motor of every bus in one call.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyMethodDef close_open_robots_definition = {
    "_close_open_robots",
    close_open_robots,
    METH_NOARGS,
    "_close_open_robots()\n--\n\nCloses every Robot still open (registered with atexit).",
};

python::SingleInterpreterModule once(
    "jointbus_robot can only be imported by one interpreter per process");
bool exit_hook_registered = false;

// jointbus's class `name`, checked to be the one whose layout python/classes.hpp declares (a
// module attribute can be replaced), into `slot`.
bool take_class(PyObject* jointbus, const char* name, std::size_t basic_size, PyTypeObject*& slot) {
    if (slot != nullptr) return true;
    const PyRef found = PyRef::steal(PyObject_GetAttrString(jointbus, name));
    if (!found) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(found.get());
    const bool expected = PyType_Check(found.get()) &&
                          std::strncmp(type->tp_name, "jointbus.", 9) == 0 &&
                          std::strcmp(type->tp_name + 9, name) == 0 &&
                          static_cast<std::size_t>(type->tp_basicsize) == basic_size;
    if (!expected) {
        PyErr_Format(PyExc_ImportError, "jointbus_robot needs jointbus.%s, the class jointbus made",
                     name);
        return false;
    }
    slot = reinterpret_cast<PyTypeObject*>(Py_NewRef(found.get()));
    return true;
}

bool take_jointbus_classes(PyRef& version) {
    const PyRef jointbus = PyRef::steal(PyImport_ImportModule("jointbus"));
    if (!jointbus) return false;
    python::ClassTypes& types = python::class_types;
    version = PyRef::steal(PyObject_GetAttrString(jointbus.get(), "__version__"));
    return version &&
           take_class(jointbus.get(), "MitLimits", sizeof(python::MitLimitsObject),
                      types.mit_limits) &&
           take_class(jointbus.get(), "MitSetpoint", sizeof(python::MitSetpointObject),
                      types.mit_setpoint) &&
           take_class(jointbus.get(), "MotorState", sizeof(python::MotorStateObject),
                      types.motor_state);
}

// Robots still open when the interpreter exits are closed before it finalises, while their bus
// threads can still reach it.
bool register_exit_hook() {
    if (exit_hook_registered) return true;
    const PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    const PyRef hook = PyRef::steal(PyCFunction_New(&close_open_robots_definition, nullptr));
    if (!hook) return false;
    const PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    exit_hook_registered = static_cast<bool>(done);
    return exit_hook_registered;
}

// The type made by an earlier, failed import is reused: a type exists once per process.
bool add(PyObject* module, PyObject* all, const char* name, const PyRef& value) {
    if (!value) return false;
    const PyRef text = PyRef::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0 &&
           PyModule_AddObjectRef(module, name, value.get()) == 0;
}

PyObject* initialise() {
    PyRef existing;
    if (!once.claim(existing)) return nullptr;
    if (existing) return existing.release();

    PyRef version;
    if (!take_jointbus_classes(version)) return nullptr;
    PyRef module = PyRef::steal(PyModule_Create2(&module_definition, PYTHON_API_VERSION));
    if (!module || !python::install_logging_bridge()) return nullptr;
    const PyRef no_state = class_type(robot_types.no_state, create_no_state_type);
    if (!no_state || !create_cache() || !register_exit_hook()) return nullptr;

    const PyRef all = PyRef::steal(PyList_New(0));
    PyObject* m = module.get();
    const bool added =
        all && add(m, all.get(), "__version__", version) &&
        add(m, all.get(), "Motor", class_type(robot_types.motor, create_motor_type)) &&
        add(m, all.get(), "Bus", class_type(robot_types.bus, create_bus_type)) &&
        add(m, all.get(), "Robot", class_type(robot_types.robot, create_robot_type)) &&
        add(m, all.get(), "NoState", no_state) &&
        add(m, all.get(), "PosVelSetpoint", class_type(robot_types.pos_vel, create_pos_vel_type)) &&
        add(m, all.get(), "VelSetpoint", class_type(robot_types.vel, create_vel_type)) &&
        add(m, all.get(), "ForcePosSetpoint",
            class_type(robot_types.force_pos, create_force_pos_type)) &&
        PyModule_AddObjectRef(m, "__all__", all.get()) == 0;
    if (!added) return nullptr;
    once.made(m);
    return module.release();
}

}  // namespace

}  // namespace jointbus::python_robot

PyMODINIT_FUNC PyInit_jointbus_robot() {
    return jointbus::python::at_boundary<PyObject*>(&jointbus::python_robot::initialise, nullptr);
}
