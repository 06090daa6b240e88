// Motor and Bus: the immutable description a Robot is made from.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "jointbus/mit.hpp"
#include "jointbus/modes.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python_robot/arguments.hpp"
#include "python_robot/robot_classes.hpp"

namespace jointbus::python_robot {

RobotTypes robot_types;

namespace {

using python::at_boundary;
using python::BoundArguments;
using python::PyRef;
using python::Signature;
using python::slot;

constexpr int kFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

MotorObject* as_motor(PyObject* self) { return reinterpret_cast<MotorObject*>(self); }
BusObject* as_bus(PyObject* self) { return reinterpret_cast<BusObject*>(self); }

void use_preset(const damiao::LimitPreset& preset, robot::MotorConfig& config) {
    config.motor.limits = preset.limits;
    config.model = preset.name;
}

// A preset name or a jointbus.MitLimits into `config`.
bool convert_limits(PyObject* object, robot::MotorConfig& config) {
    if (Py_IS_TYPE(object, python::class_types.mit_limits)) {
        config.motor.limits = reinterpret_cast<python::MitLimitsObject*>(object)->value;
        config.model.clear();
        return true;
    }
    if (!PyUnicode_Check(object)) {
        const PyRef type = type_name(object);
        if (type) {
            PyErr_Format(PyExc_TypeError,
                         "argument 'limits': '%U' object cannot be converted to 'MitLimits' or "
                         "'str'",
                         type.get());
        }
        return false;
    }
    std::string_view name;
    if (!python::to_text(object, "limits", name)) return false;
    const auto preset = damiao::find_preset(name);
    if (!preset) {
        PyErr_Format(PyExc_ValueError, "argument 'limits': unknown preset %R (the presets are %s)",
                     object, damiao::preset_names().c_str());
        return false;
    }
    use_preset(*preset, config);
    return true;
}

// ---- Motor ---------------------------------------------------------------------------------

PyObject* motor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature(
                "Motor.__new__()", {"motor_id", "master_id", "limits", "timeout_ms", "mode"}, 2);
            BoundArguments bound;
            if (!bind(signature, args, kwargs, bound)) return nullptr;

            static const auto kDefault = damiao::find_preset("dm4310");
            if (!kDefault) throw python::InternalFault("the dm4310 preset is missing");
            robot::MotorConfig config;
            use_preset(*kDefault, config);
            if (!not_bool(bound[0], "motor_id", "'int'") ||
                !python::to_u16(bound[0], "motor_id", config.motor.motor_id) ||
                !not_bool(bound[1], "master_id", "'int'") ||
                !python::to_u16(bound[1], "master_id", config.motor.master_id)) {
                return nullptr;
            }
            if (bound[2] != nullptr && !convert_limits(bound[2], config)) return nullptr;
            auto timeout_ms = static_cast<std::uint64_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(config.motor.timeout)
                    .count());
            if (bound[3] != nullptr) {
                if (!not_bool(bound[3], "timeout_ms", "'int'") ||
                    !python::to_u64(bound[3], "timeout_ms", timeout_ms)) {
                    return nullptr;
                }
                config.motor.timeout = transport::saturating_millis(timeout_ms);
            }
            if (bound[4] != nullptr && !python::to_control_mode(bound[4], "mode", config.mode)) {
                return nullptr;
            }
            PyObject* self = type->tp_alloc(type, 0);
            if (self == nullptr) return nullptr;
            new (&as_motor(self)->config) robot::MotorConfig(std::move(config));
            as_motor(self)->timeout_given = bound[3] != nullptr;
            as_motor(self)->timeout_ms = timeout_ms;
            return self;
        },
        nullptr);
}

void motor_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_motor(self)->config.~MotorConfig();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* new_limits(const damiao::MitLimits& limits) {
    auto* object = PyObject_New(python::MitLimitsObject, python::class_types.mit_limits);
    if (object == nullptr) return nullptr;
    object->value = limits;
    return reinterpret_cast<PyObject*>(object);
}

PyObject* motor_repr(PyObject* self) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            const MotorObject& motor = *as_motor(self);
            const robot::MotorConfig& config = motor.config;
            const PyRef limits =
                config.model.empty()
                    ? PyRef::steal(new_limits(config.motor.limits))
                    : PyRef::steal(PyUnicode_FromStringAndSize(
                          config.model.data(), static_cast<Py_ssize_t>(config.model.size())));
            if (!limits) return nullptr;
            // The mode is shown when it is not the default, so that MIT motors read as before.
            const std::string mode =
                config.mode == damiao::ControlMode::Mit
                    ? std::string()
                    : ", mode='" + std::string(damiao::name(config.mode)) + "'";
            return PyUnicode_FromFormat(
                "Motor(motor_id=0x%x, master_id=0x%x, limits=%R, "
                "timeout_ms=%llu%s)",
                unsigned{config.motor.motor_id}, unsigned{config.motor.master_id}, limits.get(),
                static_cast<unsigned long long>(motor.timeout_ms), mode.c_str());
        },
        nullptr);
}

PyObject* get_motor_id(PyObject* self, void*) {
    return PyLong_FromLong(as_motor(self)->config.motor.motor_id);
}
PyObject* get_master_id(PyObject* self, void*) {
    return PyLong_FromLong(as_motor(self)->config.motor.master_id);
}
PyObject* get_limits(PyObject* self, void*) {
    return new_limits(as_motor(self)->config.motor.limits);
}
PyObject* get_model(PyObject* self, void*) {
    const std::string& model = as_motor(self)->config.model;
    if (model.empty()) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(model.data(), static_cast<Py_ssize_t>(model.size()));
}
PyObject* get_timeout_ms(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(as_motor(self)->timeout_ms);
}
PyObject* get_mode(PyObject* self, void*) {
    const std::string_view mode = damiao::name(as_motor(self)->config.mode);
    return PyUnicode_FromStringAndSize(mode.data(), static_cast<Py_ssize_t>(mode.size()));
}

PyGetSetDef motor_getset[] = {
    {"motor_id", get_motor_id, nullptr, nullptr, nullptr},
    {"master_id", get_master_id, nullptr, nullptr, nullptr},
    {"limits", get_limits, nullptr, nullptr, nullptr},
    {"model", get_model, nullptr, nullptr, nullptr},
    {"timeout_ms", get_timeout_ms, nullptr, nullptr, nullptr},
    {"mode", get_mode, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Bus -----------------------------------------------------------------------------------

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Bus.__new__()", {"iface", "motors"}, 2);
            BoundArguments bound;
            if (!bind(signature, args, kwargs, bound)) return nullptr;
            std::string_view iface_text;
            if (!python::to_text(bound[0], "iface", iface_text)) return nullptr;
            // An exact str, whatever subclass was given: the description holds plain values.
            PyRef iface = PyRef::steal(PyUnicode_FromStringAndSize(
                iface_text.data(), static_cast<Py_ssize_t>(iface_text.size())));
            const PyRef items = items_of(bound[1], "motors");
            if (!iface || !items) return nullptr;
            PyRef motors = PyRef::steal(PySequence_Tuple(items.get()));
            if (!motors) return nullptr;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(motors.get()); ++i) {
                PyObject* motor = PyTuple_GET_ITEM(motors.get(), i);
                if (!Py_IS_TYPE(motor, robot_types.motor)) {
                    item_type_error(motor, "motors", static_cast<std::size_t>(i), "'Motor'");
                    return nullptr;
                }
            }
            PyObject* self = type->tp_alloc(type, 0);
            if (self == nullptr) return nullptr;
            as_bus(self)->iface = iface.release();
            as_bus(self)->motors = motors.release();
            return self;
        },
        nullptr);
}

void bus_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Py_XDECREF(as_bus(self)->iface);
    Py_XDECREF(as_bus(self)->motors);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* bus_repr(PyObject* self) {
    return PyUnicode_FromFormat("Bus(iface=%R, motors=%R)", as_bus(self)->iface,
                                as_bus(self)->motors);
}

PyObject* get_iface(PyObject* self, void*) { return Py_NewRef(as_bus(self)->iface); }
PyObject* get_motors(PyObject* self, void*) { return Py_NewRef(as_bus(self)->motors); }

PyGetSetDef bus_getset[] = {
    {"iface", get_iface, nullptr, nullptr, nullptr},
    {"motors", get_motors, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* create_motor_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc,
         const_cast<char*>(
             "Motor(motor_id, master_id, limits='dm4310', timeout_ms=20, mode='mit')\n--\n\n"
             "One motor of a bus: the id it takes commands on, the id it answers from, its "
             "limits (a preset name or a jointbus.MitLimits), its reply timeout in ms and the "
             "control mode it is driven in ('mit', 'pos_vel', 'vel' or 'force_pos').")},
        {Py_tp_new, slot(&motor_new)},
        {Py_tp_dealloc, slot(&motor_dealloc)},
        {Py_tp_repr, slot(&motor_repr)},
        {Py_tp_getset, motor_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"jointbus_robot.Motor", sizeof(MotorObject), 0, kFlags, slots};
    PyObject* type = python::create_type(definition);
    robot_types.motor = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

PyObject* create_bus_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Bus(iface, motors)\n--\n\n"
                                      "One SocketCAN interface and the motors on it, in the "
                                      "order a tick takes their commands.")},
        {Py_tp_new, slot(&bus_new)},
        {Py_tp_dealloc, slot(&bus_dealloc)},
        {Py_tp_repr, slot(&bus_repr)},
        {Py_tp_getset, bus_getset},
        {0, nullptr},
    };
    static PyType_Spec definition = {"jointbus_robot.Bus", sizeof(BusObject), 0, kFlags, slots};
    PyObject* type = python::create_type(definition);
    robot_types.bus = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

}  // namespace jointbus::python_robot
