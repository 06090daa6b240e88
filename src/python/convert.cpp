#include "python/convert.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

#include "python/py_ref.hpp"

namespace jointbus::python {

namespace {

// Replaces a pending TypeError by one that names the parameter, keeping its cause.
bool name_type_error(const char* name) {
    // Exactly TypeError: a subclass, like any other exception type, passes unchanged.
    if (PyErr_Occurred() != PyExc_TypeError) return false;
    const TakenException taken = TakenException::take();
    PyObject* original = taken.value.get();

    const PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, original));
    if (!message) return false;
    const PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!replacement) return false;
    if (PyObject* cause = PyException_GetCause(original); cause != nullptr) {
        PyException_SetCause(replacement.get(), cause);  // steals the reference
    }
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    return false;
}

// The qualified name of the object's type, as messages show it.
PyRef type_name(PyObject* object) { return PyRef::steal(PyType_GetQualName(Py_TYPE(object))); }

}  // namespace

bool to_text(PyObject* object, const char* name, std::string_view& out) {
    if (!PyUnicode_Check(object)) {
        const PyRef type = type_name(object);
        if (!type) return false;
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyString'", type.get());
        return name_type_error(name);
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return name_type_error(name);
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

bool to_u16(PyObject* object, const char* name, std::uint16_t& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return name_type_error(name);
    if (value < 0 || value > std::numeric_limits<std::uint16_t>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

bool to_int(PyObject* object, const char* name, int& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return name_type_error(name);
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max()) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

bool to_u64(PyObject* object, const char* name, std::uint64_t& out) {
    unsigned long long value = 0;
    if (PyLong_Check(object)) {
        value = PyLong_AsUnsignedLongLong(object);
    } else {
        const PyRef index = PyRef::steal(PyNumber_Index(object));
        if (!index) return name_type_error(name);
        value = PyLong_AsUnsignedLongLong(index.get());
    }
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        return name_type_error(name);
    }
    out = value;
    return true;
}

float round_to_f32(double value) {
    // Halfway between FLT_MAX and 2^128 and beyond rounds to infinity; converting such a
    // double with a cast would be undefined behaviour.
    constexpr double kOverflow = 0x1.ffffffp127;
    if (value >= kOverflow) return std::numeric_limits<float>::infinity();
    if (value <= -kOverflow) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

bool to_f32(PyObject* object, const char* name, float& out) {
    double value = 0.0;
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
    } else {
        value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) return name_type_error(name);
    }
    out = round_to_f32(value);
    return true;
}

bool to_control_mode(PyObject* object, const char* name, damiao::ControlMode& out) {
    std::optional<damiao::ControlMode> mode;
    if (PyUnicode_Check(object)) {
        std::string_view text;
        if (!to_text(object, name, text)) return false;
        mode = damiao::parse_control_mode(text);
    } else if (PyLong_Check(object) && !PyBool_Check(object)) {
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(object, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow == 0 && value >= 0 && value <= UINT32_MAX) {
            mode = damiao::control_mode_from_number(static_cast<std::uint32_t>(value));
        }
    } else {
        const PyRef type_text = type_name(object);
        if (!type_text) return false;
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to a control mode",
                     type_text.get());
        return name_type_error(name);
    }
    if (mode) {
        out = *mode;
        return true;
    }
    PyErr_Format(PyExc_ValueError,
                 "argument '%s': unknown control mode %R (the modes are 'mit', 'pos_vel', 'vel' "
                 "and 'force_pos', or their register values 1 to 4)",
                 name, object);
    return false;
}

bool check_instance(PyObject* object, PyTypeObject* type, const char* name,
                    const char* class_name) {
    if (Py_IS_TYPE(object, type)) return true;
    const PyRef type_text = type_name(object);
    if (!type_text) return false;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_text.get(),
                 class_name);
    return name_type_error(name);
}

}  // namespace jointbus::python
