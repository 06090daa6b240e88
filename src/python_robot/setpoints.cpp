// PosVelSetpoint, VelSetpoint and ForcePosSetpoint: the commands of the control modes besides
// MIT, as a tick takes them. Immutable values, checked when made: a value the frame cannot
// carry raises ValueError at the line that made it, not ticks later.
#include <array>
#include <cstddef>
#include <string>

#include "jointbus/error.hpp"
#include "jointbus/modes.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/float_format.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python_robot/arguments.hpp"
#include "python_robot/robot_classes.hpp"

namespace jointbus::python_robot {

namespace {

using python::at_boundary;
using python::BoundArguments;
using python::PyRef;
using python::Signature;
using python::slot;

template <class Value, std::size_t N>
struct Layout {
    const char* name;  // the class's name, e.g. "VelSetpoint"
    std::array<const char*, N> fields;
    std::array<float Value::*, N> members;
};

constexpr Layout<damiao::PosVelCommand, 2> kPosVel{
    "PosVelSetpoint",
    {"position", "velocity_limit"},
    {&damiao::PosVelCommand::position, &damiao::PosVelCommand::velocity_limit}};
constexpr Layout<damiao::VelCommand, 1> kVel{
    "VelSetpoint", {"velocity"}, {&damiao::VelCommand::velocity}};
constexpr Layout<damiao::ForcePosCommand, 3> kForcePos{
    "ForcePosSetpoint",
    {"position", "velocity_limit", "current_limit"},
    {&damiao::ForcePosCommand::position, &damiao::ForcePosCommand::velocity_limit,
     &damiao::ForcePosCommand::current_limit}};

template <class Value>
Value& value_of(PyObject* self) {
    return reinterpret_cast<SetpointObject<Value>*>(self)->value;
}

template <class Value, std::size_t N, const Layout<Value, N>& layout>
PyObject* setpoint_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature = [] {
                static const std::string full_name = std::string(layout.name) + ".__new__()";
                if constexpr (N == 1) {
                    return Signature(full_name.c_str(), {layout.fields[0]}, 1);
                } else if constexpr (N == 2) {
                    return Signature(full_name.c_str(), {layout.fields[0], layout.fields[1]}, 2);
                } else {
                    return Signature(full_name.c_str(),
                                     {layout.fields[0], layout.fields[1], layout.fields[2]}, 3);
                }
            }();
            BoundArguments bound;
            if (!bind(signature, args, kwargs, bound)) return nullptr;
            Value value{};
            for (std::size_t i = 0; i < N; ++i) {
                if (!not_bool(bound[i], layout.fields[i], "'float'") ||
                    !python::to_f32(bound[i], layout.fields[i], value.*layout.members[i])) {
                    return nullptr;
                }
            }
            if (const auto encoded = damiao::encode_payload(value); !encoded) {
                const std::string text =
                    damiao::text(damiao::errors::RefusedCommand{encoded.error()});
                PyErr_SetString(PyExc_ValueError, text.c_str());
                return nullptr;
            }
            PyObject* self = type->tp_alloc(type, 0);
            if (self == nullptr) return nullptr;
            value_of<Value>(self) = value;
            return self;
        },
        nullptr);
}

template <class Value, std::size_t N, const Layout<Value, N>& layout>
PyObject* setpoint_repr(PyObject* self) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            std::string text = std::string(layout.name) + "(";
            for (std::size_t i = 0; i < N; ++i) {
                if (i != 0) text += ", ";
                text += layout.fields[i];
                text += '=';
                python::append_shortest(text, value_of<Value>(self).*layout.members[i]);
            }
            text += ')';
            return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        },
        nullptr);
}

// Equal when every value is; the values are never NaN, so equality is plain.
template <class Value, std::size_t N, const Layout<Value, N>& layout>
PyObject* setpoint_compare(PyObject* self, PyObject* other, int op) {
    if (Py_TYPE(other) != Py_TYPE(self) || (op != Py_EQ && op != Py_NE)) {
        Py_RETURN_NOTIMPLEMENTED;
    }
    bool equal = true;
    for (std::size_t i = 0; i < N; ++i) {
        equal = equal && value_of<Value>(self).*layout.members[i] ==
                             value_of<Value>(other).*layout.members[i];
    }
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
}

template <class Value, std::size_t N, const Layout<Value, N>& layout>
Py_hash_t setpoint_hash(PyObject* self) {
    Py_uhash_t hash = 0x345678UL;
    for (std::size_t i = 0; i < N; ++i) {
        // +0 and -0 compare equal, so they must hash alike.
        const float value = value_of<Value>(self).*layout.members[i] + 0.0F;
        hash = hash * 1000003UL ^ static_cast<Py_uhash_t>(_Py_HashDouble(self, value));
    }
    const auto result = static_cast<Py_hash_t>(hash);
    return result == -1 ? -2 : result;
}

template <class Value, std::size_t I, const auto& layout>
PyObject* get_field(PyObject* self, void*) {
    return PyFloat_FromDouble(value_of<Value>(self).*layout.members[I]);
}

template <class Value, std::size_t N, const Layout<Value, N>& layout, std::size_t... I>
PyGetSetDef* getset_table(std::index_sequence<I...>) {
    static PyGetSetDef table[] = {
        {layout.fields[I], get_field<Value, I, layout>, nullptr, nullptr, nullptr}...,
        {nullptr, nullptr, nullptr, nullptr, nullptr},
    };
    return table;
}

template <class Value, std::size_t N, const Layout<Value, N>& layout>
PyObject* create_type(const char* doc, PyTypeObject*& recorded) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_new, slot(&setpoint_new<Value, N, layout>)},
        {Py_tp_dealloc, slot(&python::dealloc_instance)},
        {Py_tp_repr, slot(&setpoint_repr<Value, N, layout>)},
        {Py_tp_richcompare, slot(&setpoint_compare<Value, N, layout>)},
        {Py_tp_hash, slot(&setpoint_hash<Value, N, layout>)},
        {Py_tp_getset, getset_table<Value, N, layout>(std::make_index_sequence<N>{})},
        {0, nullptr},
    };
    static const std::string full_name = std::string("jointbus_robot.") + layout.name;
    static PyType_Spec definition = {full_name.c_str(), sizeof(SetpointObject<Value>), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = python::create_type(definition);
    recorded = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

}  // namespace

PyObject* create_pos_vel_type() {
    return create_type<damiao::PosVelCommand, 2, kPosVel>(
        "PosVelSetpoint(position, velocity_limit)\n--\n\n"
        "A POS_VEL command: move to `position` (rad) no faster than `velocity_limit`\n"
        "(rad/s, finite, at least 0).",
        robot_types.pos_vel);
}

PyObject* create_vel_type() {
    return create_type<damiao::VelCommand, 1, kVel>(
        "VelSetpoint(velocity)\n--\n\nA VEL command: turn at `velocity` (rad/s, finite).",
        robot_types.vel);
}

PyObject* create_force_pos_type() {
    return create_type<damiao::ForcePosCommand, 3, kForcePos>(
        "ForcePosSetpoint(position, velocity_limit, current_limit)\n--\n\n"
        "A FORCE_POS command: move to `position` (rad) no faster than\n"
        "`velocity_limit` (0 to 100 rad/s) with at most `current_limit` (0 to 1)\n"
        "of the motor's maximum current.",
        robot_types.force_pos);
}

}  // namespace jointbus::python_robot
