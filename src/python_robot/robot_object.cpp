// Robot: the engine of src/robot behind one lock, driven from Python.
//
// Every call into the engine that may wait for its buses or its guard thread runs with the
// interpreter lock released: the guard thread logs, which takes the interpreter lock
// (python/logging_bridge.cpp), so waiting for it while holding the lock could stop both.
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <expected>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "jointbus/log.hpp"
#include "jointbus/mit.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/interpreter.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"
#include "python_robot/arguments.hpp"
#include "python_robot/robot_classes.hpp"
#include "python_robot/stop_signals.hpp"

namespace jointbus::python_robot {

namespace {

using python::at_boundary;
using python::BoundArguments;
using python::PyRef;
using python::Signature;

constexpr const char* kCommandKinds =
    "a command (MitSetpoint, PosVelSetpoint, VelSetpoint, ForcePosSetpoint, 'enable', "
    "'disable', 'set_zero', 'clear_error' or None)";

RobotObject* as_robot(PyObject* self) { return reinterpret_cast<RobotObject*>(self); }

// Robots not yet closed, for the close at interpreter exit; changed with the interpreter lock
// held.
std::vector<RobotObject*> open_robots;

void forget(RobotObject* robot) { std::erase(open_robots, robot); }

// Counts the forks this process descends from. A forked child has the robot's lock as the fork
// found it, perhaps held by a thread that only the parent has: it must never wait for it.
std::atomic<std::uint64_t> forks{0};

void count_fork() { forks.fetch_add(1, std::memory_order_relaxed); }

[[nodiscard]] bool watch_forks() {
    static const bool watched = ::pthread_atfork(nullptr, nullptr, &count_fork) == 0;
    if (!watched) PyErr_NoMemory();
    return watched;
}

// Puts back the signal handlers the robots replaced once none is open, keeping `result` (an
// exception already on its way out stays the call's).
PyObject* restore_handlers(PyObject* result) {
    if (!stop_handlers_installed()) return result;
    if (result == nullptr) {
        const python::PendingException pending;
        if (!restore_stop_handlers()) PyErr_WriteUnraisable(nullptr);
        return nullptr;
    }
    if (restore_stop_handlers()) return result;
    Py_DECREF(result);
    return nullptr;
}

template <class Function>
decltype(auto) without_interpreter(Function&& function) {
    const python::InterpreterReleased released;
    return std::forward<Function>(function)();
}

// Another thread's call on the robot may be running Python code that needs the interpreter
// lock: wait for the robot's lock without it (see python/bus_lock.hpp).
constexpr auto wait_without_interpreter = [](auto&& acquire) { without_interpreter(acquire); };

PyObject* set_text_error(PyObject* type, const std::string& text) {
    const PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) PyErr_SetObject(type, message.get());
    return nullptr;
}

// Closes the engine; the motors it could not confirm disabled.
std::vector<robot::MotorFault> close_engine(RobotObject* robot, Engine& engine) {
    if (!engine.robot) return {};
    forget(robot);
    return without_interpreter([&] {
        auto faults = engine.robot->close();
        engine.robot.reset();
        return faults;
    });
}

void log_close_faults(const std::vector<robot::MotorFault>& faults) {
    for (const robot::MotorFault& fault : faults) {
        JOINTBUS_LOG(log::Level::Warn, "jointbus::robot", "on close: " + fault.text);
    }
}

// A call in a process forked from the one that opened the robot, which waits for nothing: the
// robot's lock is left alone (the fork may have found it held by a thread that only the parent
// has; the child has no other thread), and so is the engine, which refuses the call before it
// touches anything of its own. close() forgets the robot.
[[gnu::cold, gnu::noinline]] PyObject* forked_call(RobotObject* robot, const char* full_name,
                                                   bool closing) {
    return robot->engine.in_forked_child([&](Engine& engine) -> PyObject* {
        if (closing) {
            close_engine(robot, engine);
            PyObject* done = Py_NewRef(Py_None);
            return open_robots.empty() ? restore_handlers(done) : done;
        }
        if (!engine.robot) {
            PyErr_Format(PyExc_RuntimeError, "%s: the robot is closed", full_name);
            return nullptr;
        }
        const auto refused = engine.robot->tick({}, {});
        if (refused) throw python::InternalFault("a forked process's tick was not refused");
        return set_text_error(PyExc_RuntimeError, refused.error().text);
    });
}

// Runs `operation(engine)` under the robot's lock. A robot closed already is an error unless
// `closed_is_error` is false (close), when the operation runs with the robot's engine gone; so
// is a robot whose program a signal stopped, which is closed first.
template <class Operation>
PyObject* with_engine(PyObject* self, const char* full_name, Operation&& operation,
                      bool closed_is_error = true) {
    RobotObject* robot = as_robot(self);
    auto checked = [&](Engine& engine) -> PyObject* {
        if (closed_is_error && robot->stopped_by != 0) [[unlikely]] {
            log_close_faults(close_engine(robot, engine));
            return raise_stopped(robot->stopped_by);
        }
        if (!engine.robot && closed_is_error) {
            PyErr_Format(PyExc_RuntimeError, "%s: the robot is closed", full_name);
            return nullptr;
        }
        return std::forward<Operation>(operation)(engine);
    };
    if (robot->generation != forks.load(std::memory_order_relaxed)) [[unlikely]] {
        return forked_call(robot, full_name, !closed_is_error);
    }
    if (robot->engine.held_by_this_thread()) {
        PyErr_SetString(PyExc_RuntimeError,
                        "robot in use: a handler that ran during a call on this robot cannot use "
                        "the same robot");
        return nullptr;
    }
    PyObject* result = robot->engine.with_locked(checked, wait_without_interpreter);
    // A call that found its robot stopped has closed it; close_robot puts them back itself.
    if (result == nullptr && open_robots.empty()) [[unlikely]]
        return restore_handlers(result);
    return result;
}

// One line per fault, each naming its bus, motor and status.
std::string fault_lines(const std::vector<robot::MotorFault>& faults) {
    std::string text;
    for (const robot::MotorFault& fault : faults) {
        if (!text.empty()) text += '\n';
        text += fault.text;
    }
    return text;
}

// ---- Construction ----------------------------------------------------------------------------

bool to_bool(PyObject* object, const char* name, bool& out) {
    if (PyBool_Check(object)) {
        out = object == Py_True;
        return true;
    }
    const PyRef type = type_name(object);
    if (type) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'bool'",
                     name, type.get());
    }
    return false;
}

// realtime_priority (an int or None) and cpus (an iterable of int, or None) into `policy`;
// their ranges are validate()'s to check.
bool to_thread_policy(PyObject* priority, PyObject* cpus, robot::ThreadPolicy& policy) {
    if (priority != nullptr && priority != Py_None) {
        int value = 0;
        if (!not_bool(priority, "realtime_priority", "'int'") ||
            !python::to_int(priority, "realtime_priority", value)) {
            return false;
        }
        policy.realtime_priority = value;
    }
    if (cpus == nullptr || cpus == Py_None) return true;
    const PyRef items = items_of(cpus, "cpus");
    if (!items) return false;
    std::vector<int>& list = policy.cpus.emplace();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyIndex_Check(item) || PyBool_Check(item)) {
            return item_type_error(item, "cpus", static_cast<std::size_t>(i), "'int'");
        }
        if (!python::to_int(item, "cpus", list.emplace_back())) return false;
    }
    return true;
}

// The description from a sequence of Bus, and the flat tuple of its motors.
bool describe(PyObject* buses, robot::RobotConfig& config, PyRef& motors) {
    PyRef all = PyRef::steal(PyList_New(0));
    if (!all) return false;
    for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(buses); ++b) {
        PyObject* item = PyTuple_GET_ITEM(buses, b);
        if (!Py_IS_TYPE(item, robot_types.bus)) {
            return item_type_error(item, "buses", static_cast<std::size_t>(b), "'Bus'");
        }
        const auto* bus = reinterpret_cast<BusObject*>(item);
        Py_ssize_t size = 0;
        const char* iface = PyUnicode_AsUTF8AndSize(bus->iface, &size);
        if (iface == nullptr) return false;
        robot::BusConfig& described = config.buses.emplace_back();
        described.iface.assign(iface, static_cast<std::size_t>(size));
        for (Py_ssize_t m = 0; m < PyTuple_GET_SIZE(bus->motors); ++m) {
            PyObject* motor = PyTuple_GET_ITEM(bus->motors, m);
            described.motors.push_back(reinterpret_cast<MotorObject*>(motor)->config);
            if (PyList_Append(all.get(), motor) != 0) return false;
        }
    }
    motors = PyRef::steal(PyList_AsTuple(all.get()));
    return static_cast<bool>(motors);
}

PyObject* robot_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature(
                "Robot.__new__()",
                {"buses", "watchdog_ms", "disable_on_exit", "exit_on_sigterm", "rate_hz",
                 "realtime_priority", "cpus"},
                1);
            BoundArguments bound;
            if (!bind(signature, args, kwargs, bound)) return nullptr;
            const PyRef items = items_of(bound[0], "buses");
            if (!items) return nullptr;
            PyRef buses = PyRef::steal(PySequence_Tuple(items.get()));
            robot::RobotConfig config;
            PyRef motors;
            if (!buses || !describe(buses.get(), config, motors)) return nullptr;
            if (bound[1] != nullptr) {
                std::uint64_t watchdog_ms = 0;
                if (!not_bool(bound[1], "watchdog_ms", "'int'") ||
                    !python::to_u64(bound[1], "watchdog_ms", watchdog_ms)) {
                    return nullptr;
                }
                config.watchdog = transport::saturating_millis(watchdog_ms);
            }
            if (bound[2] != nullptr &&
                !to_bool(bound[2], "disable_on_exit", config.disable_on_close)) {
                return nullptr;
            }
            bool sigterm = true;
            if (bound[3] != nullptr && !to_bool(bound[3], "exit_on_sigterm", sigterm)) {
                return nullptr;
            }
            std::optional<transport::Duration> tick_period;
            if (bound[4] != nullptr && bound[4] != Py_None) {
                float rate = 0.0F;
                if (!not_bool(bound[4], "rate_hz", "'float'") ||
                    !python::to_f32(bound[4], "rate_hz", rate)) {
                    return nullptr;
                }
                // At most a MHz: a period below a microsecond is no reply timeout.
                if (!(rate > 0.0F && rate <= 1e6F)) {
                    PyErr_Format(PyExc_ValueError,
                                 "argument 'rate_hz': %R is no tick rate (it must be above 0 and "
                                 "at most 1e6)",
                                 bound[4]);
                    return nullptr;
                }
                tick_period = robot::tick_period(double{rate});
            }
            if (tick_period) {
                // Each motor made without timeout_ms waits one period for its reply.
                std::size_t i = 0;
                for (robot::BusConfig& bus : config.buses) {
                    for (robot::MotorConfig& motor : bus.motors) {
                        const auto* object = reinterpret_cast<MotorObject*>(
                            PyTuple_GET_ITEM(motors.get(), static_cast<Py_ssize_t>(i++)));
                        if (!object->timeout_given) motor.motor.timeout = *tick_period;
                    }
                }
            }
            if (!to_thread_policy(bound[5], bound[6], config.thread_policy)) return nullptr;
            if (auto valid = robot::validate(config); !valid) {
                return set_text_error(PyExc_ValueError, valid.error().text);
            }
            if (!watch_forks()) return nullptr;
            auto opened =
                without_interpreter([&] { return robot::Robot::open(std::move(config)); });
            if (!opened) return set_text_error(PyExc_OSError, robot::text(opened.error()));
            // This thread made the robot, so it is taken for the one that ticks it; closing
            // gives it its old policy back.
            if (auto applied = (*opened)->take_caller_thread(); !applied) {
                without_interpreter([&] { opened->reset(); });
                return set_text_error(PyExc_OSError, applied.error().text);
            }

            const std::size_t count = (*opened)->motor_count();
            if (count != static_cast<std::size_t>(PyTuple_GET_SIZE(motors.get()))) {
                throw python::InternalFault("the robot counts other motors than its description");
            }
            Engine engine{std::move(*opened), {}, std::vector<robot::Outcome>(count)};
            engine.commands.reserve(count + 1);
            PyObject* self = type->tp_alloc(type, 0);
            if (self == nullptr) {
                without_interpreter([&] { engine.robot.reset(); });
                return nullptr;
            }
            RobotObject* robot = as_robot(self);
            new (&robot->engine) python::BusLock<Engine>(std::move(engine));
            robot->buses = buses.release();
            robot->motors = motors.release();
            robot->motor_count = count;
            robot->generation = forks.load(std::memory_order_relaxed);
            open_robots.push_back(robot);
            // Only now that the robot is open: a program whose open failed keeps its signals.
            if (sigterm && !install_stop_handlers()) {
                Py_DECREF(self);
                return nullptr;
            }
            return self;
        },
        nullptr);
}

void robot_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    RobotObject* robot = as_robot(self);
    forget(robot);
    // No other reference exists, so nothing holds the lock; the engine's destructor closes it.
    without_interpreter([&] { robot->engine.~BusLock(); });
    Py_XDECREF(robot->buses);
    Py_XDECREF(robot->motors);
    type->tp_free(self);
    Py_DECREF(type);
    if (open_robots.empty() && stop_handlers_installed()) {
        const python::PendingException pending;
        if (!restore_stop_handlers()) PyErr_WriteUnraisable(nullptr);
    }
}

// ---- Tick ------------------------------------------------------------------------------------

// One command of a tick: a MitSetpoint, a command name, or None.
bool to_command(PyObject* item, std::size_t index, robot::Command& out) {
    if (item == Py_None) {
        out = robot::Command{};
        return true;
    }
    if (Py_IS_TYPE(item, python::class_types.mit_setpoint)) {
        out = robot::Command::mit(reinterpret_cast<python::MitSetpointObject*>(item)->value);
        return true;
    }
    if (Py_IS_TYPE(item, robot_types.vel)) {
        out =
            robot::Command::of(reinterpret_cast<SetpointObject<damiao::VelCommand>*>(item)->value);
        return true;
    }
    if (Py_IS_TYPE(item, robot_types.pos_vel)) {
        out = robot::Command::of(
            reinterpret_cast<SetpointObject<damiao::PosVelCommand>*>(item)->value);
        return true;
    }
    if (Py_IS_TYPE(item, robot_types.force_pos)) {
        out = robot::Command::of(
            reinterpret_cast<SetpointObject<damiao::ForcePosCommand>*>(item)->value);
        return true;
    }
    if (!PyUnicode_Check(item)) return item_type_error(item, "commands", index, kCommandKinds);
    // A literal in the caller's code is interned: found by identity, without comparing text.
    std::size_t found = cache.actions.size();
    for (std::size_t a = 0; a < cache.actions.size() && found == cache.actions.size(); ++a) {
        if (item == cache.actions[a]) found = a;
    }
    for (std::size_t a = 0; a < cache.actions.size() && found == cache.actions.size(); ++a) {
        const int equal = PyUnicode_Compare(item, cache.actions[a]);
        if (equal == -1 && PyErr_Occurred()) return false;
        if (equal == 0) found = a;
    }
    if (found == cache.actions.size()) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'commands': item %zu: unknown command %R (the commands are "
                     "'enable', 'disable', 'set_zero' and 'clear_error')",
                     index, item);
        return false;
    }
    out = robot::Command{};
    out.action =
        static_cast<robot::Action>(static_cast<std::size_t>(robot::Action::Enable) + found);
    return true;
}

bool to_commands(PyObject* commands, std::size_t motor_count, std::vector<robot::Command>& out) {
    // One more than the motors is enough to say the count is wrong.
    const PyRef items = items_of(commands, "commands", motor_count + 1);
    if (!items) return false;
    const auto count = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.get()));
    PyObject** values = PySequence_Fast_ITEMS(items.get());
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (!to_command(values[i], i, out[i])) return false;
    }
    return true;
}

// The engine refuses a tick for a mistake in its arguments (ValueError) or because of the
// robot's state, a fired watchdog say (RuntimeError).
PyObject* raise_tick_error(const robot::TickError& error) {
    return set_text_error(error.bad_command ? PyExc_ValueError : PyExc_RuntimeError, error.text);
}

PyObject* outcome_list(const std::vector<robot::Outcome>& outcomes) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < outcomes.size(); ++i) {
        PyObject* item = outcome_object(outcomes[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// A signal that cuts the tick's wait short (it runs on this thread) runs the interpreter's
// handlers at once, as the interpreter's own blocking calls do; the wait goes on unless one
// raised.
bool run_signal_handlers(void*) {
    // A daemon thread ticking while the interpreter finalises ends its tick; it waits for the
    // process's exit when it takes the interpreter lock back (python/interpreter.hpp).
    if (python::ended_by_finalisation()) return false;
    const PyGILState_STATE state = python::ensure_thread();
    const bool wait_on = PyErr_CheckSignals() == 0;
    PyGILState_Release(state);
    return wait_on;
}

PyObject* tick_engine(Engine& engine, PyObject* commands, std::size_t motor_count) {
    if (!to_commands(commands, motor_count, engine.commands)) return nullptr;
    std::expected<void, robot::TickError> ticked;
    without_interpreter([&] {
        ticked = engine.robot->tick(engine.commands, engine.outcomes, {&run_signal_handlers});
    });
    // A handler that raised ended the tick: its exception is the call's.
    if (PyErr_Occurred() != nullptr) return nullptr;
    if (!ticked) return raise_tick_error(ticked.error());
    return outcome_list(engine.outcomes);
}

PyObject* robot_tick(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Robot.tick()", {"commands"}, 1);
            BoundArguments bound;
            if (!bind(signature, args, python::positional_count(static_cast<std::size_t>(nargsf)),
                      kwnames, bound)) {
                return nullptr;
            }
            return with_engine(self, signature.full_name(), [&](Engine& engine) {
                return tick_engine(engine, bound[0], as_robot(self)->motor_count);
            });
        },
        nullptr);
}

// ---- Bring-up, shut-down, closing ------------------------------------------------------------

struct Step {
    const char* full_name;
    std::vector<robot::MotorFault> (robot::Robot::*run)();
};
constexpr Step kEnsureMitMode{"Robot.ensure_mit_mode()", &robot::Robot::ensure_mit_mode};
constexpr Step kEnsureControlModes{"Robot.ensure_control_modes()",
                                   &robot::Robot::ensure_control_modes};
constexpr Step kEnableAll{"Robot.enable_all()", &robot::Robot::enable_all};
constexpr Step kDisableAll{"Robot.disable_all()", &robot::Robot::disable_all};

template <const Step& step>
PyObject* robot_step(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature(step.full_name);
            BoundArguments bound;
            if (!bind(signature, args, python::positional_count(static_cast<std::size_t>(nargsf)),
                      kwnames, bound)) {
                return nullptr;
            }
            return with_engine(self, step.full_name, [&](Engine& engine) -> PyObject* {
                const auto faults =
                    without_interpreter([&] { return ((*engine.robot).*step.run)(); });
                if (faults.empty()) Py_RETURN_NONE;
                // The doctor tells a wrong id, model or mode from an unpowered motor.
                return set_text_error(PyExc_RuntimeError,
                                      fault_lines(faults) + "\nto see why, run: " +
                                          robot::doctor_command(engine.robot->config(), faults));
            });
        },
        nullptr);
}

// Closes the robot; the motors it could not confirm disabled raise RuntimeError, unless another
// exception is already on its way out (`quiet`), when they are logged instead.
PyObject* close_robot(PyObject* self, const char* full_name, bool quiet = false) {
    PyObject* result = with_engine(
        self, full_name,
        [&](Engine& engine) -> PyObject* {
            const auto faults = close_engine(as_robot(self), engine);
            if (faults.empty()) Py_RETURN_NONE;
            if (!quiet) {
                return set_text_error(
                    PyExc_RuntimeError,
                    "could not confirm these motors disabled:\n" + fault_lines(faults));
            }
            log_close_faults(faults);
            Py_RETURN_NONE;
        },
        false);
    return open_robots.empty() ? restore_handlers(result) : result;
}

PyObject* robot_close(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("Robot.close()");
            BoundArguments bound;
            if (!bind(signature, args, python::positional_count(static_cast<std::size_t>(nargsf)),
                      kwnames, bound)) {
                return nullptr;
            }
            return close_robot(self, signature.full_name());
        },
        nullptr);
}

PyObject* robot_enter(PyObject* self, PyObject*) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            return with_engine(self, "Robot.__enter__()",
                               [&](Engine&) -> PyObject* { return Py_NewRef(self); });
        },
        nullptr);
}

PyObject* robot_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            if (nargs != 3) {
                PyErr_Format(PyExc_TypeError,
                             "Robot.__exit__() takes 3 positional arguments but %zd %s given",
                             nargs, nargs == 1 ? "was" : "were");
                return nullptr;
            }
            return close_robot(self, "Robot.__exit__()", args[0] != Py_None);
        },
        nullptr);
}

PyObject* get_buses(PyObject* self, void*) { return Py_NewRef(as_robot(self)->buses); }
PyObject* get_motors(PyObject* self, void*) { return Py_NewRef(as_robot(self)->motors); }
PyObject* get_closed(PyObject* self, void*) {
    return PyBool_FromLong(std::find(open_robots.begin(), open_robots.end(), as_robot(self)) ==
                           open_robots.end());
}

PyGetSetDef robot_getset[] = {
    {"buses", get_buses, nullptr, nullptr, nullptr},
    {"motors", get_motors, nullptr, nullptr, nullptr},
    {"closed", get_closed, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr int kMethodFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef robot_methods[] = {
    {"tick", python::fastcall_method<&robot_tick>(), kMethodFlags,
     "tick($self, commands)\n--\n\n"
     "Send one command to every motor at once and return one outcome per motor."},
    {"ensure_mit_mode", python::fastcall_method<&robot_step<kEnsureMitMode>>(), kMethodFlags,
     "ensure_mit_mode($self)\n--\n\nPut every motor in MIT control mode."},
    {"ensure_control_modes", python::fastcall_method<&robot_step<kEnsureControlModes>>(),
     kMethodFlags,
     "ensure_control_modes($self)\n--\n\nPut each motor in the control mode its Motor names."},
    {"enable_all", python::fastcall_method<&robot_step<kEnableAll>>(), kMethodFlags,
     "enable_all($self)\n--\n\nEnable every motor and check each one's status."},
    {"disable_all", python::fastcall_method<&robot_step<kDisableAll>>(), kMethodFlags,
     "disable_all($self)\n--\n\nDisable every motor and check that each one is disabled."},
    {"close", python::fastcall_method<&robot_close>(), kMethodFlags,
     "close($self)\n--\n\nDisable the motors (unless disable_on_exit is False) and stop the "
     "buses."},
    {"__enter__", robot_enter, METH_NOARGS, "__enter__($self, /)\n--\n\n"},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&robot_exit)),
     METH_FASTCALL, "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* create_robot_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc,
         const_cast<char*>("Robot(buses, watchdog_ms=50, disable_on_exit=True, "
                           "exit_on_sigterm=True, rate_hz=None, realtime_priority=None, "
                           "cpus=None)\n--\n\n"
                           "Every motor of every bus, commanded together once per tick.")},
        {Py_tp_new, python::slot(&robot_new)},
        {Py_tp_dealloc, python::slot(&robot_dealloc)},
        {Py_tp_getset, robot_getset},
        {Py_tp_methods, robot_methods},
        {0, nullptr},
    };
    static PyType_Spec definition = {"jointbus_robot.Robot", sizeof(RobotObject), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = python::create_type(definition);
    robot_types.robot = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

bool any_robot_open() { return !open_robots.empty(); }

void stop_open_robots(int signum) {
    // Held first, all of them: closing one lets other threads run, and drop another.
    std::vector<PyRef> robots;
    robots.reserve(open_robots.size());
    for (RobotObject* robot : open_robots) {
        robot->stopped_by = signum;
        robots.push_back(PyRef::borrow(reinterpret_cast<PyObject*>(robot)));
    }
    for (const PyRef& robot : robots) {
        // The handler ran inside a call on this robot: that call raises, and is closed, after.
        if (as_robot(robot.get())->engine.held_by_this_thread()) continue;
        // A tick in another thread ends first (its motors' timeouts at most).
        const PyRef done = PyRef::steal(close_robot(robot.get(), "Robot.close()", true));
        if (!done) PyErr_WriteUnraisable(robot.get());
    }
}

PyObject* close_open_robots(PyObject*, PyObject*) {
    return at_boundary<PyObject*>(
        []() -> PyObject* {
            // Held first, all of them: closing one lets other threads run, and drop another.
            std::vector<PyRef> robots;
            robots.reserve(open_robots.size());
            for (RobotObject* robot : open_robots) {
                robots.push_back(PyRef::borrow(reinterpret_cast<PyObject*>(robot)));
            }
            // Every robot is closed, whatever the first one raised.
            PyObject* raised_type = nullptr;
            PyObject* raised = nullptr;
            PyObject* traceback = nullptr;
            for (const PyRef& robot : robots) {
                const PyRef done = PyRef::steal(close_robot(robot.get(), "Robot.close()"));
                if (!done && raised_type == nullptr) {
                    PyErr_Fetch(&raised_type, &raised, &traceback);
                }
                PyErr_Clear();
            }
            if (raised_type == nullptr) Py_RETURN_NONE;
            PyErr_Restore(raised_type, raised, traceback);
            return nullptr;
        },
        nullptr);
}

}  // namespace jointbus::python_robot
