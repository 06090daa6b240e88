// Conversion of bound arguments to C++ values. Each returns false with a Python exception
// set; a TypeError names the parameter ("argument '{name}': ..."), other errors pass as is.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>

#include "jointbus/modes.hpp"

namespace jointbus::python {

// A str (or subclass) as UTF-8; the view lives as long as `object`.
[[nodiscard]] bool to_text(PyObject* object, const char* name, std::string_view& out);

// What a C long conversion accepts (int or __index__), within 0..65535.
[[nodiscard]] bool to_u16(PyObject* object, const char* name, std::uint16_t& out);

// What a C long conversion accepts (int or __index__), within the range of a C int.
[[nodiscard]] bool to_int(PyObject* object, const char* name, int& out);

// An int, or anything with __index__, within 0..2^64-1.
[[nodiscard]] bool to_u64(PyObject* object, const char* name, std::uint64_t& out);

// An exact float as is, otherwise float() semantics (__float__, __index__), then rounded to
// the nearest single-precision value.
[[nodiscard]] bool to_f32(PyObject* object, const char* name, float& out);

// Rounds to the nearest float; too large a magnitude becomes an infinity of the same sign.
[[nodiscard]] float round_to_f32(double value);

// A control mode by name ("mit", "pos_vel", "vel", "force_pos", any letter case) or by its
// register value (1 to 4); anything else of those types is a ValueError naming the choices.
[[nodiscard]] bool to_control_mode(PyObject* object, const char* name, damiao::ControlMode& out);

// Fails with "argument '{name}': '{type}' object cannot be converted to '{class}'" unless
// `object` is exactly of `type` (the module's classes cannot be subclassed).
[[nodiscard]] bool check_instance(PyObject* object, PyTypeObject* type, const char* name,
                                  const char* class_name);

}  // namespace jointbus::python
