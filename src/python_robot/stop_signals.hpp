// SIGTERM and Ctrl-C (SIGINT) end a robot program whatever thread ticks.
//
// SIGTERM is how systemd, containers and launch files stop a program; at its default action it
// ends the process at once, running no `finally`, `with` exit or atexit, and so leaves every
// motor enabled. A Ctrl-C raises KeyboardInterrupt in the main thread only, and the interpreter
// then waits for every non-daemon thread: one that ticks would drive the motors for ever. While
// a robot is open, the module's handler, which runs in the main thread, stops every open robot
// (each disables its motors and every later call but close() raises, in any thread; see
// `stop_open_robots`) and then raises SystemExit(143) for SIGTERM, so that the process ends
// with the status a shell gives a SIGTERM, or KeyboardInterrupt for SIGINT, as the default
// handler does.
#pragma once

#include <Python.h>

namespace jointbus::python_robot {

// After a robot opened: installs the handler for each of SIGTERM and SIGINT that is at its
// default (SIG_DFL, signal.default_int_handler); a handler the program installed is left
// alone. Nothing outside the main thread. False with an exception set.
[[nodiscard]] bool install_stop_handlers();

// Puts back the defaults the handler replaced, where it is still installed; nothing outside
// the main thread (the handler puts them back when it runs with no robot open). False with an
// exception set.
[[nodiscard]] bool restore_stop_handlers();

// Whether a handler of the module may be installed.
[[nodiscard]] bool stop_handlers_installed();

// Raises what every call of a robot stopped by `signum` raises: SystemExit(128 + signum), which
// ends a worker thread's loop silently and the program with the status a shell gives that
// signal. Returns null.
PyObject* raise_stopped(int signum);

// Defined with the Robot: marks every open robot stopped by `signum` and closes each one that
// the calling thread is not inside (that call closes it when it sees the mark); what a close
// raises is reported as unraisable, and the others are closed still.
void stop_open_robots(int signum);
// Whether any robot is open.
[[nodiscard]] bool any_robot_open();

}  // namespace jointbus::python_robot
