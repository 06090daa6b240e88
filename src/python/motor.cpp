// Damiao: one motor, commanded over any bus object passed to its methods.
#include <array>
#include <bit>
#include <cassert>
#include <cstdio>
#include <string>

#include "damiao/configure.hpp"
#include "jointbus/error.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/interpreter.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace jointbus::python {

namespace {

using damiao::Damiao;
using transport::Exchanger;

DamiaoObject* as_motor(PyObject* self) { return reinterpret_cast<DamiaoObject*>(self); }

// dm_err_to_py: every driver error becomes a RuntimeError carrying its text.
PyRef dm_err_to_py(const damiao::Error& error) {
    const std::string message = damiao::text(error);
    const PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
    if (!text) return {};
    return PyRef::steal(PyObject_CallOneArg(PyExc_RuntimeError, text.get()));
}

PyObject* raise_driver_error(const damiao::Error& error) {
    // A signal handler that raised during the wait ended the exchange: its exception is the
    // command's outcome.
    if (PyErr_Occurred() != nullptr) return nullptr;
    const PyRef exception = dm_err_to_py(error);
    if (exception) PyErr_SetObject(PyExc_RuntimeError, exception.get());
    return nullptr;
}

template <class Result>
PyObject* to_python(const std::expected<Result, damiao::Error>& result) {
    if (!result) return raise_driver_error(result.error());
    if constexpr (std::is_void_v<Result>) {
        Py_RETURN_NONE;
    } else {
        return new_motor_state(*result);
    }
}

// Blocks for a bus lock held by another thread with the interpreter lock released: the holder
// may be running Python code that needs it (see bus_lock.hpp).
constexpr auto wait_without_interpreter = [](auto&& acquire) {
    const InterpreterReleased released;
    acquire();
};

// A signal that interrupts a command's wait runs the interpreter's handlers at once, as the
// interpreter's own blocking calls do; the wait goes on unless a handler raised.
bool run_signal_handlers() { return PyErr_CheckSignals() == 0; }

// Runs one driver exchange under the bus lock and returns its result as a Python value.
template <class Operation>
PyObject* exchange(BusObject* bus, Operation&& operation) {
    assert(PyGILState_Check());
    if (bus->bus.held_by_this_thread()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "bus in use: a handler that ran during an exchange on this bus cannot use "
                        "the same bus");
        return nullptr;
    }
    return to_python(bus->bus.with_locked(
        [&](OpenBus& open) {
            Exchanger exchanger(open.transport, open.owed, &run_signal_handlers, &open.watch);
            return std::forward<Operation>(operation)(exchanger);
        },
        wait_without_interpreter));
}

// Binds a command's arguments and converts `bus`; null with the exception set.
BusObject* bind_bus(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, BoundArguments& bound) {
    if (!bind(signature, args, positional_count(static_cast<std::size_t>(nargsf)), kwnames,
              bound) ||
        !check_instance(bound[0], class_types.bus, "bus", "SocketCanTransport")) {
        return nullptr;
    }
    return reinterpret_cast<BusObject*>(bound[0]);
}

// The four commands with a fixed payload: one exchange under the bus lock.
struct FixedCommand {
    const char* full_name;
    std::expected<damiao::MotorState, damiao::Error> (Damiao::*run)(Exchanger&) const;
};
constexpr FixedCommand kEnable{"Damiao.enable()", &Damiao::enable};
constexpr FixedCommand kDisable{"Damiao.disable()", &Damiao::disable};
constexpr FixedCommand kSetZero{"Damiao.set_zero()", &Damiao::set_zero};
constexpr FixedCommand kClearError{"Damiao.clear_error()", &Damiao::clear_error};

template <const FixedCommand& command>
PyObject* fixed_command(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature(command.full_name, {"bus"}, 1);
            BoundArguments bound;
            BusObject* bus = bind_bus(signature, args, nargsf, kwnames, bound);
            if (bus == nullptr) return nullptr;
            const Damiao& motor = as_motor(self)->motor;
            return exchange(bus, [&](Exchanger& t) { return (motor.*command.run)(t); });
        },
        nullptr);
}

PyObject* mit_control(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Damiao.mit_control()", {"bus", "setpoint"}, 2);
            BoundArguments bound;
            BusObject* bus = bind_bus(signature, args, nargsf, kwnames, bound);
            if (bus == nullptr ||
                !check_instance(bound[1], class_types.mit_setpoint, "setpoint", "MitSetpoint")) {
                return nullptr;
            }
            const damiao::MitSetpoint setpoint =
                reinterpret_cast<MitSetpointObject*>(bound[1])->value;
            const Damiao& motor = as_motor(self)->motor;
            // Encoded after the lock is taken, with the motor's limits.
            return exchange(bus, [&](Exchanger& t) { return motor.mit_control(t, setpoint); });
        },
        nullptr);
}

// Raises ValueError with the driver's text: the command was refused, nothing sent.
PyObject* raise_refusal(const damiao::Error& error) {
    const std::string message = damiao::text(error);
    PyErr_SetString(PyExc_ValueError, message.c_str());
    return nullptr;
}

// A command of another mode than MIT: converted and checked before the bus lock is taken, so
// a value the frame cannot carry raises ValueError and touches no bus. `signature` names `bus`
// and then the command's values, each converted to float.
template <std::size_t N, class Make>
PyObject* mode_control(PyObject* self, const Signature& signature, PyObject* const* args,
                       Py_ssize_t nargsf, PyObject* kwnames, Make make) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            BoundArguments bound;
            BusObject* bus = bind_bus(signature, args, nargsf, kwnames, bound);
            if (bus == nullptr) return nullptr;
            std::array<float, N> values{};
            for (std::size_t i = 0; i < N; ++i) {
                if (!to_f32(bound[i + 1], signature.name(i + 1), values[i])) return nullptr;
            }
            const Damiao& motor = as_motor(self)->motor;
            const auto frame = motor.mode_frame(make(values));
            if (!frame) return raise_refusal(frame.error());
            return exchange(bus, [&](Exchanger& t) { return motor.send_command(t, *frame); });
        },
        nullptr);
}

PyObject* pos_vel_control(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    static const Signature signature("Damiao.pos_vel_control()",
                                     {"bus", "position", "velocity_limit"}, 3);
    return mode_control<2>(self, signature, args, nargsf, kwnames, [](const auto& v) {
        return damiao::ModeCommand{damiao::PosVelCommand{v[0], v[1]}};
    });
}

PyObject* vel_control(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const Signature signature("Damiao.vel_control()", {"bus", "velocity"}, 2);
    return mode_control<1>(self, signature, args, nargsf, kwnames, [](const auto& v) {
        return damiao::ModeCommand{damiao::VelCommand{v[0]}};
    });
}

PyObject* force_pos_control(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    static const Signature signature("Damiao.force_pos_control()",
                                     {"bus", "position", "velocity_limit", "current_limit"}, 4);
    return mode_control<3>(self, signature, args, nargsf, kwnames, [](const auto& v) {
        return damiao::ModeCommand{damiao::ForcePosCommand{v[0], v[1], v[2]}};
    });
}

PyObject* ensure_control_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Damiao.ensure_control_mode()", {"bus", "mode"}, 2);
            BoundArguments bound;
            BusObject* bus = bind_bus(signature, args, nargsf, kwnames, bound);
            damiao::ControlMode mode{};
            if (bus == nullptr || !to_control_mode(bound[1], "mode", mode)) return nullptr;
            const Damiao& motor = as_motor(self)->motor;
            return exchange(bus, [&](Exchanger& t) {
                return motor.ensure_control_mode(t, static_cast<std::uint8_t>(mode));
            });
        },
        nullptr);
}

PyObject* ensure_mit_mode(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Damiao.ensure_mit_mode()", {"bus"}, 1);
            BoundArguments bound;
            BusObject* bus = bind_bus(signature, args, nargsf, kwnames, bound);
            if (bus == nullptr) return nullptr;
            const Damiao& motor = as_motor(self)->motor;
            // The lock stays held through the whole register sequence, pause included.
            return exchange(bus, [&](Exchanger& t) {
                return motor.ensure_control_mode(t, damiao::kMitControlMode);
            });
        },
        nullptr);
}

// A register's bits as Python sees them: an int, a float, or None when the motor did not answer.
PyRef register_object(const damiao::RegisterInfo& info, std::optional<std::uint32_t> bits) {
    if (!bits) return PyRef::borrow(Py_None);
    if (info.type == damiao::RegisterType::Float) {
        return PyRef::steal(PyFloat_FromDouble(double{std::bit_cast<float>(*bits)}));
    }
    return PyRef::steal(PyLong_FromUnsignedLong(*bits));
}

// Runs `operation(exchanger)` under the bus lock, as `exchange` does, and hands back its result.
template <class Operation>
auto locked(BusObject* bus, Operation&& operation) {
    return bus->bus.with_locked(
        [&](OpenBus& open) {
            Exchanger exchanger(open.transport, open.owed, &run_signal_handlers, &open.watch);
            return std::forward<Operation>(operation)(exchanger);
        },
        wait_without_interpreter);
}

[[nodiscard]] bool refuse_nested_use(BusObject* bus) {
    if (!bus->bus.held_by_this_thread()) return false;
    PyErr_SetString(PyExc_RuntimeError,
                    "bus in use: a handler that ran during an exchange on this bus cannot use "
                    "the same bus");
    return true;
}

PyObject* read_settings(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Damiao.read_settings()", {"bus"}, 1);
            BoundArguments bound;
            BusObject* bus = bind_bus(signature, args, nargsf, kwnames, bound);
            if (bus == nullptr || refuse_nested_use(bus)) return nullptr;
            const Damiao& motor = as_motor(self)->motor;
            const auto snapshot =
                locked(bus, [&](Exchanger& t) { return damiao::read_all(motor, t); });
            if (!snapshot) return raise_driver_error(snapshot.error());
            PyRef settings = PyRef::steal(PyDict_New());
            if (!settings) return nullptr;
            for (const damiao::RegisterReading& reading : snapshot->registers) {
                const PyRef value = register_object(*reading.info, reading.bits);
                const std::string name(reading.info->name);
                if (!value || PyDict_SetItemString(settings.get(), name.c_str(), value.get()) < 0) {
                    return nullptr;
                }
            }
            return settings.release();
        },
        nullptr);
}

// {name: (held, asked)} for each change.
PyObject* changes_dict(const damiao::Plan& plan) {
    PyRef diff = PyRef::steal(PyDict_New());
    if (!diff) return nullptr;
    for (const damiao::Change& change : plan.changes) {
        const PyRef from = register_object(*change.info, change.from);
        const PyRef to = register_object(*change.info, change.to);
        if (!from || !to) return nullptr;
        const PyRef pair = PyRef::steal(PyTuple_Pack(2, from.get(), to.get()));
        const std::string name(change.info->name);
        if (!pair || PyDict_SetItemString(diff.get(), name.c_str(), pair.get()) < 0) {
            return nullptr;
        }
    }
    return diff.release();
}

PyObject* configure(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Damiao.configure()",
                                             {"bus", "settings", "dry_run", "force"}, 2);
            BoundArguments bound;
            BusObject* bus = bind_bus(signature, args, nargsf, kwnames, bound);
            if (bus == nullptr) return nullptr;
            if (!PyDict_Check(bound[1])) {
                PyErr_Format(PyExc_TypeError, "Damiao.configure(): settings must be a dict, not %s",
                             Py_TYPE(bound[1])->tp_name);
                return nullptr;
            }
            const bool dry_run = bound[2] != nullptr && PyObject_IsTrue(bound[2]) == 1;
            const bool force = bound[3] != nullptr && PyObject_IsTrue(bound[3]) == 1;
            if (PyErr_Occurred() != nullptr) return nullptr;
            // Every value is checked before the bus is touched: one refusal sends nothing.
            std::vector<damiao::Assignment> wanted;
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(bound[1], &position, &key, &value)) {
                std::string_view name;
                if (!to_text(key, "settings key", name)) return nullptr;
                if (PyBool_Check(value) || !(PyLong_Check(value) || PyFloat_Check(value))) {
                    PyErr_Format(PyExc_TypeError,
                                 "Damiao.configure(): settings['%s'] must be an int or a float, "
                                 "not %s",
                                 std::string(name).c_str(), Py_TYPE(value)->tp_name);
                    return nullptr;
                }
                const double number = PyFloat_AsDouble(value);
                if (number == -1.0 && PyErr_Occurred() != nullptr) return nullptr;
                auto assignment = damiao::make_assignment(name, number);
                if (!assignment) {
                    PyErr_SetString(PyExc_ValueError, assignment.error().text.c_str());
                    return nullptr;
                }
                wanted.push_back(*assignment);
            }
            if (refuse_nested_use(bus)) return nullptr;
            const Damiao& motor = as_motor(self)->motor;
            std::string refusal;
            std::string failure;
            const damiao::PlanOptions options{.force = force};
            // The whole transaction under one hold of the lock: no other exchange comes between
            // the reads and the writes.
            auto plan =
                locked(bus, [&](Exchanger& t) -> std::expected<damiao::Plan, damiao::Error> {
                    auto before = damiao::read_all(motor, t);
                    if (!before) return std::unexpected(before.error());
                    auto planned = damiao::make_plan(*before, wanted, options);
                    if (!planned) {
                        refusal = planned.error().text;
                        return damiao::Plan{};
                    }
                    if (!dry_run) {
                        const damiao::Transaction done = damiao::apply(motor, t, *planned);
                        if (!done.ok()) failure = done.failure;
                    }
                    return *planned;
                });
            if (!plan) return raise_driver_error(plan.error());
            if (PyErr_Occurred() != nullptr) return nullptr;
            if (!refusal.empty()) {
                PyErr_SetString(PyExc_ValueError, refusal.c_str());
                return nullptr;
            }
            if (!failure.empty()) {
                PyErr_SetString(PyExc_RuntimeError, failure.c_str());
                return nullptr;
            }
            return changes_dict(*plan);
        },
        nullptr);
}

constexpr int kMethodFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef motor_methods[] = {
    {"enable", fastcall_method<&fixed_command<kEnable>>(), kMethodFlags,
     "enable($self, bus)\n--\n\n"},
    {"disable", fastcall_method<&fixed_command<kDisable>>(), kMethodFlags,
     "disable($self, bus)\n--\n\n"},
    {"set_zero", fastcall_method<&fixed_command<kSetZero>>(), kMethodFlags,
     "set_zero($self, bus)\n--\n\n"},
    {"clear_error", fastcall_method<&fixed_command<kClearError>>(), kMethodFlags,
     "clear_error($self, bus)\n--\n\n"},
    {"mit_control", fastcall_method<&mit_control>(), kMethodFlags,
     "mit_control($self, bus, setpoint)\n--\n\n"},
    {"ensure_mit_mode", fastcall_method<&ensure_mit_mode>(), kMethodFlags,
     "ensure_mit_mode($self, bus)\n--\n\n"
     "Force the firmware into MIT control mode (register 10 = 1). Some\n"
     "motors ship in POS_VEL/VEL/FORCE_POS, in which case `mit_control` is\n"
     "silently ignored."},
    {"ensure_control_mode", fastcall_method<&ensure_control_mode>(), kMethodFlags,
     "ensure_control_mode($self, bus, mode)\n--\n\n"
     "Bring the firmware into `mode` ('mit', 'pos_vel', 'vel', 'force_pos',\n"
     "or 1 to 4) and verify it. A motor acts only on its mode's commands."},
    {"pos_vel_control", fastcall_method<&pos_vel_control>(), kMethodFlags,
     "pos_vel_control($self, bus, position, velocity_limit)\n--\n\n"
     "Move to `position` (rad) no faster than `velocity_limit` (rad/s, >= 0).\n"
     "Acted on in POS_VEL mode only."},
    {"vel_control", fastcall_method<&vel_control>(), kMethodFlags,
     "vel_control($self, bus, velocity)\n--\n\n"
     "Turn at `velocity` (rad/s). Acted on in VEL mode only."},
    {"force_pos_control", fastcall_method<&force_pos_control>(), kMethodFlags,
     "force_pos_control($self, bus, position, velocity_limit, current_limit)\n--\n\n"
     "Move to `position` (rad) no faster than `velocity_limit` (0 to 100\n"
     "rad/s) with at most `current_limit` (0 to 1) of the motor's maximum\n"
     "current. Acted on in FORCE_POS mode only."},
    {"read_settings", fastcall_method<&read_settings>(), kMethodFlags,
     "read_settings($self, bus)\n--\n\n"
     "Every register of the motor's table as a dict {name: value}: an int,\n"
     "a float, or None for a register the motor did not answer."},
    {"configure", fastcall_method<&configure>(), kMethodFlags,
     "configure($self, bus, settings, dry_run=False, force=False)\n--\n\n"
     "Set the motor's settings from a dict {name: value} (register names,\n"
     "or timeout_ms) and return {name: (held, asked)} for what differed.\n"
     "Reads every setting, disables the motor, writes what differs, reads\n"
     "each back, stores, reads again. With dry_run, only reads. force allows\n"
     "TIMEOUT 0 (the CAN timeout off)."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* motor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Damiao.__new__()",
                                             {"motor_id", "master_id", "limits", "timeout_ms"}, 2);
            BoundArguments bound;
            if (!bind(signature, args, kwargs, bound)) return nullptr;

            Damiao motor;
            if (!to_u16(bound[0], "motor_id", motor.motor_id)) return nullptr;
            if (!to_u16(bound[1], "master_id", motor.master_id)) return nullptr;
            if (bound[2] != nullptr && bound[2] != Py_None) {
                if (!check_instance(bound[2], class_types.mit_limits, "limits", "MitLimits")) {
                    return nullptr;
                }
                motor.limits = reinterpret_cast<MitLimitsObject*>(bound[2])->value;
            }
            if (bound[3] != nullptr) {
                std::uint64_t timeout_ms = 0;
                if (!to_u64(bound[3], "timeout_ms", timeout_ms)) return nullptr;
                motor.timeout = transport::saturating_millis(timeout_ms);
            }

            PyObject* self = type->tp_alloc(type, 0);
            if (self == nullptr) return nullptr;
            as_motor(self)->motor = motor;
            return self;
        },
        nullptr);
}

PyObject* motor_repr(PyObject* self) {
    const Damiao& motor = as_motor(self)->motor;
    char text[64];
    const int length = std::snprintf(text, sizeof text, "Damiao(motor_id=0x%x, master_id=0x%x)",
                                     unsigned{motor.motor_id}, unsigned{motor.master_id});
    return PyUnicode_FromStringAndSize(text, length);
}

PyObject* get_motor_id(PyObject* self, void*) {
    return PyLong_FromLong(as_motor(self)->motor.motor_id);
}

PyObject* get_master_id(PyObject* self, void*) {
    return PyLong_FromLong(as_motor(self)->motor.master_id);
}

PyGetSetDef motor_getset[] = {
    {"motor_id", get_motor_id, nullptr, nullptr, nullptr},
    {"master_id", get_master_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* create_damiao_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc,
         const_cast<char*>("Damiao(motor_id, master_id, limits=None, timeout_ms=20)\n--\n\n")},
        {Py_tp_new, slot(&motor_new)},
        {Py_tp_dealloc, slot(&dealloc_instance)},
        {Py_tp_repr, slot(&motor_repr)},
        {Py_tp_getset, motor_getset},
        {Py_tp_methods, motor_methods},
        {0, nullptr},
    };
    static PyType_Spec definition = {"jointbus.Damiao", sizeof(DamiaoObject), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = create_type(definition);
    class_types.damiao = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

}  // namespace jointbus::python
