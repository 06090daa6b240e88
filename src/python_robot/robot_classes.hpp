// The classes of the jointbus_robot module: the description (Motor, Bus), the outcome without a
// state (NoState) and the Robot, with what the module caches at import for the tick's hot path.
//
// The module reuses jointbus's MitLimits, MitSetpoint and MotorState: at import it takes their
// type objects from the jointbus module into python::class_types, so their instances are the
// very classes users know, laid out as python/classes.hpp says.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "jointbus/robot.hpp"
#include "python/bus_lock.hpp"

namespace jointbus::python_robot {

struct MotorObject {
    PyObject_HEAD robot::MotorConfig config;
    bool timeout_given;  // timeout_ms was passed: a robot's tick rate does not replace it
    // As given: config's timeout saturates at about 292 years of nanoseconds.
    std::uint64_t timeout_ms;
};

struct BusObject {
    PyObject_HEAD PyObject* iface;  // str
    PyObject* motors;               // tuple of Motor
};

// PosVelSetpoint, VelSetpoint, ForcePosSetpoint: one command of another mode than MIT, checked
// when made.
template <class Value>
struct SetpointObject {
    PyObject_HEAD Value value;
};

struct NoStateObject {
    PyObject_HEAD PyObject* reason;  // one of the cached reason strings
    PyObject* message;               // str
};

// What the robot's lock guards.
struct Engine {
    std::unique_ptr<robot::Robot> robot;   // null once closed
    std::vector<robot::Command> commands;  // reused by every tick
    std::vector<robot::Outcome> outcomes;  // one per motor, reused by every tick
};

struct RobotObject {
    PyObject_HEAD python::BusLock<Engine> engine;
    PyObject* buses;   // tuple of Bus
    PyObject* motors;  // tuple of Motor, in tick order
    std::size_t motor_count;
    std::uint64_t generation;  // the forks the opening process descended from
    int stopped_by;            // the signal that stopped its program, or 0 (interpreter lock)
};

// Made once per process at the first import, never freed (one interpreter per process).
struct RobotTypes {
    PyTypeObject* motor = nullptr;
    PyTypeObject* bus = nullptr;
    PyTypeObject* no_state = nullptr;
    PyTypeObject* robot = nullptr;
    PyTypeObject* pos_vel = nullptr;
    PyTypeObject* vel = nullptr;
    PyTypeObject* force_pos = nullptr;
};
extern RobotTypes robot_types;

// The command names a tick accepts, in robot::Action order from Enable.
inline constexpr std::array<const char*, 4> kActionNames = {"enable", "disable", "set_zero",
                                                            "clear_error"};
// NoState.reason for each robot::NoState, in its order.
inline constexpr std::array<const char*, 6> kReasonNames = {
    "not commanded", "timeout", "short reply", "owes a reply", "send failed", "bus failed"};

// Interned strings and shared NoState objects, made by `create_cache` at import.
struct Cache {
    std::array<PyObject*, kActionNames.size()> actions{};
    std::array<PyObject*, kReasonNames.size()> reasons{};
    // For a reason whose text is always the same (no error, no length), one immutable NoState
    // serves every outcome: a motor left out of every tick costs no allocation.
    std::array<PyObject*, kReasonNames.size()> fixed_no_state{};
};
extern Cache cache;

// Each creates its type object and records it in `robot_types`; a new reference, or null with an
// exception set.
PyObject* create_motor_type();
PyObject* create_bus_type();
PyObject* create_no_state_type();
PyObject* create_robot_type();
PyObject* create_pos_vel_type();
PyObject* create_vel_type();
PyObject* create_force_pos_type();

// Fills `cache`; needs the NoState type. False with an exception set.
[[nodiscard]] bool create_cache();

// The outcome as a Python object: a jointbus.MotorState or a NoState. Null with an exception
// set.
PyObject* outcome_object(const robot::Outcome& outcome);

// Closes every robot still open, as close() does; the module registers it with atexit.
PyObject* close_open_robots(PyObject* module, PyObject* unused);

}  // namespace jointbus::python_robot
