// Internal faults: a broken invariant abandons the operation and surfaces in Python as
// PanicException, which derives from BaseException so that `except Exception` lets it pass.
#pragma once

#include <Python.h>

#include <exception>

namespace jointbus::python {

// An internal fault raised by the Python layer itself.
class InternalFault : public std::exception {
public:
    explicit InternalFault(const char* message) : message_(message) {}
    [[nodiscard]] const char* what() const noexcept override { return message_; }

private:
    const char* message_;  // static storage
};

// Sets PanicException(message) as the pending exception; returns null for convenience.
PyObject* raise_panic(const char* message);

// The module boundary: runs `body`, turning any C++ exception that escapes it into
// PanicException. `Result` is the entry point's return type (PyObject* or int).
template <class Result, class Body>
Result at_boundary(Body&& body, Result failure) noexcept {
    try {
        return body();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic("unknown internal fault");
    }
    return failure;
}

}  // namespace jointbus::python
