// Arguments that hold several values (the motors of a bus, the buses of a robot, the commands of
// a tick), with messages in the binder's style: "argument '{name}': ...".
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/py_ref.hpp"

namespace jointbus::python_robot {

// A list or tuple as it is, any other iterable as a new list; every other object fails with
// TypeError "argument '{name}': '{type}' object is not iterable". Null with an exception set.
[[nodiscard]] python::PyRef items_of(PyObject* object, const char* name);
// The same, but an iterable that is neither list nor tuple is read for at most `most` items:
// what an endless one holds beyond them is never taken (the caller reports a wrong count).
[[nodiscard]] python::PyRef items_of(PyObject* object, const char* name, std::size_t most);

// Sets TypeError "argument '{name}': item {index}: '{type}' object cannot be converted to
// {expected}"; returns false.
bool item_type_error(PyObject* item, const char* name, std::size_t index, const char* expected);

// Sets TypeError "argument '{name}': 'bool' object cannot be converted to {expected}" for True
// and False, a flag where a number is meant (Python takes it for 1 or 0), and returns false;
// true for any other object.
[[nodiscard]] bool not_bool(PyObject* object, const char* name, const char* expected);

// The object's type name as messages show it; null with an exception set.
[[nodiscard]] python::PyRef type_name(PyObject* object);

}  // namespace jointbus::python_robot
