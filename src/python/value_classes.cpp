// MitLimits, MitSetpoint, MotorState and mit_setpoint: immutable views of the codec's records.
#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/float_format.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace jointbus::python {

namespace {

using damiao::MitLimits;
using damiao::MitSetpoint;
using damiao::MotorState;

constexpr int kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

template <class Object>
PyObject* allocate(PyTypeObject* type, const decltype(Object::value)& value) {
    // The record is assigned whole, so the memory need not be cleared first (as tp_alloc
    // would): one MotorState is made per command.
    auto* self = PyObject_New(Object, type);
    if (self == nullptr) return nullptr;
    self->value = value;
    return reinterpret_cast<PyObject*>(self);
}

template <class Object, auto Field>
PyObject* get_float(PyObject* self, void*) {
    return PyFloat_FromDouble(reinterpret_cast<Object*>(self)->value.*Field);
}

template <class Object, auto Field>
PyObject* get_int(PyObject* self, void*) {
    return PyLong_FromLong(reinterpret_cast<Object*>(self)->value.*Field);
}

PyObject* unicode(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// The five float fields of a record, converted in parameter order; absent ones keep the
// record's default.
template <class Record>
bool convert_fields(const Signature& signature, const BoundArguments& bound,
                    const std::array<float Record::*, 5>& fields, Record& out) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (bound[i] != nullptr && !to_f32(bound[i], signature.name(i), out.*fields[i])) {
            return false;
        }
    }
    return true;
}

template <class Record>
std::string repr_of(const char* opening, const std::array<const char*, 5>& pieces,
                    const std::array<float Record::*, 5>& fields, const Record& value) {
    std::string text = opening;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        text += pieces[i];
        append_shortest(text, value.*fields[i]);
    }
    text += ')';
    return text;
}

// ---- MitLimits -------------------------------------------------------------------------

constexpr std::array<float MitLimits::*, 5> kLimitFields = {&MitLimits::p_max, &MitLimits::v_max,
                                                            &MitLimits::kp_max, &MitLimits::kd_max,
                                                            &MitLimits::t_max};

const Signature& limits_signature() {
    static const Signature signature("MitLimits.__new__()",
                                     {"p_max", "v_max", "kp_max", "kd_max", "t_max"}, 0);
    return signature;
}

PyObject* make_limits(PyTypeObject* type, const BoundArguments& bound) {
    MitLimits limits;
    if (!convert_fields(limits_signature(), bound, kLimitFields, limits)) return nullptr;
    return allocate<MitLimitsObject>(type, limits);
}

PyObject* limits_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            BoundArguments bound;
            if (!bind(limits_signature(), args, kwargs, bound)) return nullptr;
            return make_limits(type, bound);
        },
        nullptr);
}

PyObject* limits_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf,
                            PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            BoundArguments bound;
            if (!bind(limits_signature(), args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
                return nullptr;
            }
            return make_limits(reinterpret_cast<PyTypeObject*>(type), bound);
        },
        nullptr);
}

PyObject* limits_repr(PyObject* self) {
    return at_boundary<PyObject*>(
        [&] {
            return unicode(
                repr_of("MitLimits(p_max=", {"", ", v_max=", ", kp_max=", ", kd_max=", ", t_max="},
                        kLimitFields, reinterpret_cast<MitLimitsObject*>(self)->value));
        },
        nullptr);
}

// One static method per preset, each a binding of its own so that messages name it.
struct PresetMethod {
    std::string full_name;  // "MitLimits.dm4310()"
    std::string doc;        // "dm4310()\n--\n\n"
    std::string name;
};

const std::array<PresetMethod, damiao::kLimitPresets.size()>& preset_methods() {
    static const auto methods = [] {
        std::array<PresetMethod, damiao::kLimitPresets.size()> made;
        for (std::size_t i = 0; i < made.size(); ++i) {
            const std::string name(damiao::kLimitPresets[i].name);
            made[i] = PresetMethod{"MitLimits." + name + "()", name + "()\n--\n\n", name};
        }
        return made;
    }();
    return methods;
}

template <std::size_t Index>
PyObject* preset(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature(preset_methods()[Index].full_name.c_str());
            BoundArguments bound;
            if (!bind(signature, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
            return allocate<MitLimitsObject>(class_types.mit_limits,
                                             damiao::kLimitPresets[Index].limits);
        },
        nullptr);
}

template <std::size_t... Index>
std::array<PyMethodDef, sizeof...(Index) + 1> make_preset_table(std::index_sequence<Index...>) {
    return {{{preset_methods()[Index].name.c_str(), fastcall_method<&preset<Index>>(),
              METH_FASTCALL | METH_KEYWORDS | METH_STATIC, preset_methods()[Index].doc.c_str()}...,
             {nullptr, nullptr, 0, nullptr}}};
}

PyGetSetDef limits_getset[] = {
    {"p_max", get_float<MitLimitsObject, &MitLimits::p_max>, nullptr, nullptr, nullptr},
    {"v_max", get_float<MitLimitsObject, &MitLimits::v_max>, nullptr, nullptr, nullptr},
    {"kp_max", get_float<MitLimitsObject, &MitLimits::kp_max>, nullptr, nullptr, nullptr},
    {"kd_max", get_float<MitLimitsObject, &MitLimits::kd_max>, nullptr, nullptr, nullptr},
    {"t_max", get_float<MitLimitsObject, &MitLimits::t_max>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- MitSetpoint -----------------------------------------------------------------------

constexpr std::array<float MitSetpoint::*, 5> kSetpointFields = {
    &MitSetpoint::q, &MitSetpoint::dq, &MitSetpoint::kp, &MitSetpoint::kd, &MitSetpoint::tau};

PyObject* make_setpoint(const Signature& signature, const BoundArguments& bound) {
    MitSetpoint setpoint;
    if (!convert_fields(signature, bound, kSetpointFields, setpoint)) return nullptr;
    return allocate<MitSetpointObject>(class_types.mit_setpoint, setpoint);
}

const Signature& setpoint_signature() {
    static const Signature signature("MitSetpoint.__new__()", {"q", "dq", "kp", "kd", "tau"}, 0);
    return signature;
}

PyObject* setpoint_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            BoundArguments bound;
            if (!bind(setpoint_signature(), args, kwargs, bound)) return nullptr;
            return make_setpoint(setpoint_signature(), bound);
        },
        nullptr);
}

PyObject* setpoint_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf,
                              PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            BoundArguments bound;
            if (!bind(setpoint_signature(), args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
                return nullptr;
            }
            return make_setpoint(setpoint_signature(), bound);
        },
        nullptr);
}

PyObject* mit_setpoint_function(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("mit_setpoint()", {"q", "dq", "kp", "kd", "tau"}, 0);
            BoundArguments bound;
            if (!bind(signature, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
            return make_setpoint(signature, bound);
        },
        nullptr);
}

PyObject* setpoint_repr(PyObject* self) {
    return at_boundary<PyObject*>(
        [&] {
            return unicode(repr_of("MitSetpoint(q=", {"", ", dq=", ", kp=", ", kd=", ", tau="},
                                   kSetpointFields,
                                   reinterpret_cast<MitSetpointObject*>(self)->value));
        },
        nullptr);
}

PyGetSetDef setpoint_getset[] = {
    {"q", get_float<MitSetpointObject, &MitSetpoint::q>, nullptr, nullptr, nullptr},
    {"dq", get_float<MitSetpointObject, &MitSetpoint::dq>, nullptr, nullptr, nullptr},
    {"kp", get_float<MitSetpointObject, &MitSetpoint::kp>, nullptr, nullptr, nullptr},
    {"kd", get_float<MitSetpointObject, &MitSetpoint::kd>, nullptr, nullptr, nullptr},
    {"tau", get_float<MitSetpointObject, &MitSetpoint::tau>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef mit_setpoint_def = {
    "mit_setpoint",
    fastcall_method<&mit_setpoint_function>(),
    METH_FASTCALL | METH_KEYWORDS,
    "mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n"
    "Build a `MitSetpoint` (handy when keyword args are awkward).",
};

// ---- MotorState ------------------------------------------------------------------------

PyObject* motor_state_new(PyTypeObject*, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, "No constructor defined for MotorState");
    return nullptr;
}

PyObject* motor_state_repr(PyObject* self) {
    return at_boundary<PyObject*>(
        [&] {
            const MotorState& state = reinterpret_cast<MotorStateObject*>(self)->value;
            std::string text = "MotorState(motor_id=";
            text += std::to_string(state.motor_id);
            text += ", error=";
            text += std::to_string(state.error);
            text += ", position=";
            append_four_decimals(text, state.position);
            text += ", velocity=";
            append_four_decimals(text, state.velocity);
            text += ", torque=";
            append_four_decimals(text, state.torque);
            text += ", t_mos=";
            text += std::to_string(state.t_mos);
            text += ", t_rotor=";
            text += std::to_string(state.t_rotor);
            text += ')';
            return unicode(text);
        },
        nullptr);
}

PyGetSetDef motor_state_getset[] = {
    {"motor_id", get_int<MotorStateObject, &MotorState::motor_id>, nullptr, nullptr, nullptr},
    {"error", get_int<MotorStateObject, &MotorState::error>, nullptr, nullptr, nullptr},
    {"position", get_float<MotorStateObject, &MotorState::position>, nullptr, nullptr, nullptr},
    {"velocity", get_float<MotorStateObject, &MotorState::velocity>, nullptr, nullptr, nullptr},
    {"torque", get_float<MotorStateObject, &MotorState::torque>, nullptr, nullptr, nullptr},
    {"t_mos", get_int<MotorStateObject, &MotorState::t_mos>, nullptr, nullptr, nullptr},
    {"t_rotor", get_int<MotorStateObject, &MotorState::t_rotor>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* with_vectorcall(PyObject* type, vectorcallfunc call) {
    // Calling the class then skips building an argument tuple and dict; meant for setpoints
    // made on every cycle of a control loop.
    if (type != nullptr) reinterpret_cast<PyTypeObject*>(type)->tp_vectorcall = call;
    return type;
}

}  // namespace

PyObject* create_mit_limits_type() {
    static auto presets =
        make_preset_table(std::make_index_sequence<damiao::kLimitPresets.size()>());
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, "
                                      "kd_max=5.0, t_max=10.0)\n--\n\n")},
        {Py_tp_new, slot(&limits_new)},
        {Py_tp_dealloc, slot(&dealloc_instance)},
        {Py_tp_repr, slot(&limits_repr)},
        {Py_tp_getset, limits_getset},
        {Py_tp_methods, presets.data()},
        {0, nullptr},
    };
    static PyType_Spec definition = {"jointbus.MitLimits", sizeof(MitLimitsObject), 0, kFlags,
                                     slots};
    PyObject* type = with_vectorcall(create_type(definition), &limits_vectorcall);
    class_types.mit_limits = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

PyObject* create_mit_setpoint_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc,
         const_cast<char*>("MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n")},
        {Py_tp_new, slot(&setpoint_new)},
        {Py_tp_dealloc, slot(&dealloc_instance)},
        {Py_tp_repr, slot(&setpoint_repr)},
        {Py_tp_getset, setpoint_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"jointbus.MitSetpoint", sizeof(MitSetpointObject), 0, kFlags,
                                     slots};
    PyObject* type = with_vectorcall(create_type(definition), &setpoint_vectorcall);
    class_types.mit_setpoint = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

PyObject* create_motor_state_type() {
    static PyType_Slot slots[] = {
        {Py_tp_new, slot(&motor_state_new)},
        {Py_tp_dealloc, slot(&dealloc_instance)},
        {Py_tp_repr, slot(&motor_state_repr)},
        {Py_tp_getset, motor_state_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"jointbus.MotorState", sizeof(MotorStateObject), 0, kFlags,
                                     slots};
    PyObject* type = PyType_FromSpec(&definition);
    class_types.motor_state = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

PyObject* create_mit_setpoint_function(PyObject* module) {
    const PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return nullptr;
    return PyCFunction_NewEx(&mit_setpoint_def, module, module_name.get());
}

PyObject* new_motor_state(const damiao::MotorState& state) {
    return allocate<MotorStateObject>(class_types.motor_state, state);
}

}  // namespace jointbus::python
