// NoState, and every outcome of a tick as the Python object it becomes.
#include <string>

#include "python/classes.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python_robot/robot_classes.hpp"

namespace jointbus::python_robot {

Cache cache;

namespace {

using python::PyRef;

NoStateObject* as_no_state(PyObject* self) { return reinterpret_cast<NoStateObject*>(self); }

PyObject* new_no_state(robot::NoState reason, PyRef message) {
    if (!message) return nullptr;
    auto* self = PyObject_New(NoStateObject, robot_types.no_state);
    if (self == nullptr) return nullptr;
    self->reason = Py_NewRef(cache.reasons[static_cast<std::size_t>(reason)]);
    self->message = message.release();
    return reinterpret_cast<PyObject*>(self);
}

PyRef message_of(const robot::Outcome& outcome) {
    const std::string text = robot::text(outcome);
    return PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// text(outcome) depends on nothing but the reason when there is no error and no length.
bool has_fixed_text(const robot::Outcome& outcome) {
    using enum robot::NoState;
    const bool plain =
        outcome.reason == NotCommanded || outcome.reason == Timeout || outcome.reason == Owed;
    return plain && !outcome.error && outcome.short_length == 0;
}

void no_state_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_no_state(self)->reason);
    Py_XDECREF(as_no_state(self)->message);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* no_state_repr(PyObject* self) {
    return PyUnicode_FromFormat("NoState(reason=%R, message=%R)", as_no_state(self)->reason,
                                as_no_state(self)->message);
}

PyObject* get_reason(PyObject* self, void*) { return Py_NewRef(as_no_state(self)->reason); }
PyObject* get_message(PyObject* self, void*) { return Py_NewRef(as_no_state(self)->message); }

PyGetSetDef no_state_getset[] = {
    {"reason", get_reason, nullptr, nullptr, nullptr},
    {"message", get_message, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* create_no_state_type() {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, python::slot(&no_state_dealloc)},
        {Py_tp_repr, python::slot(&no_state_repr)},
        {Py_tp_getset, no_state_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {
        "jointbus_robot.NoState", sizeof(NoStateObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject* type = PyType_FromSpec(&definition);
    robot_types.no_state = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

bool create_cache() {
    for (std::size_t i = 0; i < kActionNames.size(); ++i) {
        if (cache.actions[i] == nullptr)
            cache.actions[i] = PyUnicode_InternFromString(kActionNames[i]);
        if (cache.actions[i] == nullptr) return false;
    }
    for (std::size_t i = 0; i < kReasonNames.size(); ++i) {
        if (cache.reasons[i] == nullptr)
            cache.reasons[i] = PyUnicode_InternFromString(kReasonNames[i]);
        if (cache.reasons[i] == nullptr) return false;
    }
    for (std::size_t i = 0; i < kReasonNames.size(); ++i) {
        robot::Outcome outcome;
        outcome.reason = static_cast<robot::NoState>(i);
        if (cache.fixed_no_state[i] != nullptr || !has_fixed_text(outcome)) continue;
        cache.fixed_no_state[i] = new_no_state(outcome.reason, message_of(outcome));
        if (cache.fixed_no_state[i] == nullptr) return false;
    }
    return true;
}

PyObject* outcome_object(const robot::Outcome& outcome) {
    if (outcome.state) return python::new_motor_state(*outcome.state);
    const auto index = static_cast<std::size_t>(outcome.reason);
    if (index >= kReasonNames.size()) throw python::InternalFault("unknown outcome reason");
    if (has_fixed_text(outcome) && cache.fixed_no_state[index] != nullptr) {
        return Py_NewRef(cache.fixed_no_state[index]);
    }
    return new_no_state(outcome.reason, message_of(outcome));
}

}  // namespace jointbus::python_robot
