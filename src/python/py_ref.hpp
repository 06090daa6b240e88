// Ownership of Python references: a strong reference is wrapped on the line that creates it
// and leaves only through release().
#pragma once

#include <Python.h>

#include <utility>

namespace jointbus::python {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (may be null, as returned by a failed API call).
    [[nodiscard]] static PyRef steal(PyObject* object) { return PyRef(object); }
    // Adds a reference to a borrowed one.
    [[nodiscard]] static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef& other) : object_(other.object_) { Py_XINCREF(object_); }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const { return object_; }
    [[nodiscard]] explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller (typically back to CPython).
    [[nodiscard]] PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}

    PyObject* object_ = nullptr;
};

// The pending exception, taken out of the interpreter and normalised, its traceback attached
// to the exception object.
struct TakenException {
    PyRef type;
    PyRef value;
    PyRef traceback;

    [[nodiscard]] static TakenException take() {
        PyObject* type = nullptr;
        PyObject* value = nullptr;
        PyObject* traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        TakenException taken{PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
        if (taken.value && taken.traceback) {
            PyException_SetTraceback(taken.value.get(), taken.traceback.get());
        }
        return taken;
    }

    // Makes it the pending exception again.
    void restore() && { PyErr_Restore(type.release(), value.release(), traceback.release()); }
};

// Saves the pending exception and restores it when the scope ends, so that cleanup which
// may call into Python cannot clobber it.
class PendingException {
public:
    PendingException() { PyErr_Fetch(&type_, &value_, &traceback_); }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    ~PendingException() { PyErr_Restore(type_, value_, traceback_); }

private:
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

}  // namespace jointbus::python
