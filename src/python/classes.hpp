// The module's classes: their instance layouts, type objects and constructors from C++.
#pragma once

#include <Python.h>

#include "damiao/register_watch.hpp"
#include "jointbus/driver.hpp"
#include "jointbus/mit.hpp"
#include "python/bus_lock.hpp"
#include "transport/socketcan_backend.hpp"

namespace jointbus::python {

struct MitLimitsObject {
    PyObject_HEAD damiao::MitLimits value;
};

struct MitSetpointObject {
    PyObject_HEAD damiao::MitSetpoint value;
};

struct MotorStateObject {
    PyObject_HEAD damiao::MotorState value;
};

struct DamiaoObject {
    PyObject_HEAD damiao::Damiao motor;
};

// What the bus lock guards: the socket, the replies the bus still owes and the register
// requests seen on it, which outlive any one command.
struct OpenBus {
    transport::SocketCanTransport transport;
    transport::OwedReplies owed;
    damiao::RegisterWatch watch;
};

struct BusObject {
    PyObject_HEAD BusLock<OpenBus> bus;
};

// The type objects, made once per process at the first import and never freed. Each entry is
// a reference of its own, so the module's code still finds its classes after their module
// attributes are deleted.
struct ClassTypes {
    PyTypeObject* mit_limits = nullptr;
    PyTypeObject* mit_setpoint = nullptr;
    PyTypeObject* motor_state = nullptr;
    PyTypeObject* damiao = nullptr;
    PyTypeObject* bus = nullptr;
};
extern ClassTypes class_types;

// Each creates its type object and records it in `class_types`; returns a new reference, or
// null with an exception set.
PyObject* create_mit_limits_type();
PyObject* create_mit_setpoint_type();
PyObject* create_motor_state_type();
PyObject* create_damiao_type();
PyObject* create_bus_type();

// The module function `mit_setpoint`, bound to `module`.
PyObject* create_mit_setpoint_function(PyObject* module);

// New Python objects holding a copy of the record; null with MemoryError set on failure.
PyObject* new_motor_state(const damiao::MotorState& state);

// Frees an instance that owns nothing but plain values, and its reference to its type.
void dealloc_instance(PyObject* self);

// A function as a type slot's value.
void* slot(auto function) { return reinterpret_cast<void*>(function); }

// A METH_FASTCALL | METH_KEYWORDS function as the PyCFunction a method table holds.
template <auto function>
PyCFunction fastcall_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The call count of a vectorcall.
[[nodiscard]] inline std::size_t positional_count(std::size_t nargsf) {
    return static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
}

// Creates a type from `definition`. A doc slot ("Name(signature)\n--\n\n") is kept whole, so that
// the interpreter reports the signature as __text_signature__.
PyObject* create_type(PyType_Spec& definition);

}  // namespace jointbus::python
