// _jointbus_testing: entry points that exercise the module's internals from Python tests
// without adding anything to the module's public surface. Built only with -Dtests=true.
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "jointbus/log.hpp"
#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/logging_bridge.hpp"
#include "python/panic.hpp"

namespace {

using jointbus::python::BoundArguments;
using jointbus::python::Signature;

PyObject* bind_three(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const Signature signature("bind_three()", {"a", "b", "c"}, 3);
    BoundArguments bound;
    if (!bind(signature, args, jointbus::python::positional_count(static_cast<std::size_t>(nargsf)),
              kwnames, bound)) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Abandons an exchange on `bus` (a jointbus.SocketCanTransport) with an internal fault while
// its lock is held, as a broken invariant in a motor command would.
PyObject* fault_while_holding_bus(PyObject*, PyObject* bus) {
    if (std::strcmp(Py_TYPE(bus)->tp_name, "jointbus.SocketCanTransport") != 0) {
        PyErr_SetString(PyExc_TypeError, "expected a jointbus.SocketCanTransport");
        return nullptr;
    }
    return jointbus::python::at_boundary<PyObject*>(
        [&]() -> PyObject* {
            reinterpret_cast<jointbus::python::BusObject*>(bus)->bus.with_locked(
                [](auto&) { throw std::logic_error("invariant broken mid-exchange"); });
            Py_RETURN_NONE;
        },
        nullptr);
}

// The log facility and the bridge are static state of whichever shared object links them, and
// jointbus exports nothing but its entry point, so this module cannot reach jointbus's copy.
// It links the same sources and installs its own bridge at import; the records emitted below
// go through the same facility and bridge code as jointbus's own would.

// A record owning its text, so that it can cross to another thread.
struct OwnedRecord {
    jointbus::log::Level level = jointbus::log::Level::Error;
    std::string target;
    std::string message;
    std::optional<std::string> file;
    std::optional<std::uint32_t> line;

    void emit() const {
        // The same cheap check as JOINTBUS_LOG, with the file and line chosen by the test.
        const jointbus::log::Facility& facility = jointbus::log::process_facility;
        if (!facility.enabled(level)) return;
        facility.emit({level, target, message, file, line});
    }
};

// Binds (level, target, message, file=None, line=None); level is "error", "warn", "info",
// "debug" or "trace".
bool bind_record(const Signature& signature, PyObject* const* args, Py_ssize_t nargsf,
                 PyObject* kwnames, OwnedRecord& out) {
    using jointbus::log::Level;
    BoundArguments bound;
    if (!bind(signature, args, jointbus::python::positional_count(static_cast<std::size_t>(nargsf)),
              kwnames, bound)) {
        return false;
    }
    std::string_view level;
    std::string_view target;
    std::string_view message;
    if (!jointbus::python::to_text(bound[0], "level", level) ||
        !jointbus::python::to_text(bound[1], "target", target) ||
        !jointbus::python::to_text(bound[2], "message", message)) {
        return false;
    }
    constexpr std::pair<std::string_view, Level> kLevels[] = {
        {"error", Level::Error}, {"warn", Level::Warn},   {"info", Level::Info},
        {"debug", Level::Debug}, {"trace", Level::Trace},
    };
    bool known = false;
    for (const auto& [level_name, value] : kLevels) {
        if (level == level_name) {
            out.level = value;
            known = true;
        }
    }
    if (!known) {
        PyErr_SetString(PyExc_ValueError, "unknown level");
        return false;
    }
    out.target = target;
    out.message = message;
    if (bound[3] != nullptr && bound[3] != Py_None) {
        std::string_view file;
        if (!jointbus::python::to_text(bound[3], "file", file)) return false;
        out.file = std::string(file);
    }
    if (bound[4] != nullptr && bound[4] != Py_None) {
        std::uint64_t line = 0;
        if (!jointbus::python::to_u64(bound[4], "line", line)) return false;
        if (line > std::numeric_limits<std::uint32_t>::max()) {
            PyErr_SetString(PyExc_OverflowError, "line out of range");
            return false;
        }
        out.line = static_cast<std::uint32_t>(line);
    }
    return true;
}

// Emits a record through this module's facility, on the calling (Python) thread.
PyObject* emit(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const Signature signature("emit()", {"level", "target", "message", "file", "line"}, 3);
    OwnedRecord record;
    if (!bind_record(signature, args, nargsf, kwnames, record)) return nullptr;
    record.emit();
    Py_RETURN_NONE;
}

// Emits a record from a new thread that Python has never seen, and waits for it.
PyObject* emit_from_thread(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    static const Signature signature("emit_from_thread()",
                                     {"level", "target", "message", "file", "line"}, 3);
    OwnedRecord record;
    if (!bind_record(signature, args, nargsf, kwnames, record)) return nullptr;
    // The interpreter lock is released for the wait (Py_BEGIN/END_ALLOW_THREADS, spelled out):
    // the new thread takes it to deliver.
    PyThreadState* const saved = PyEval_SaveThread();
    std::thread emitter([&record] { record.emit(); });
    emitter.join();
    PyEval_RestoreThread(saved);
    Py_RETURN_NONE;
}

// Installs the bridge again, as a second import of the module would.
PyObject* install_bridge(PyObject*, PyObject*) {
    if (!jointbus::python::install_logging_bridge()) return nullptr;
    Py_RETURN_NONE;
}

// A jointbus.MotorState holding the decoding of `feedback` (bytes) with the given p_max,
// v_max and t_max, as a command's reply would produce it.
PyObject* decode_state(PyObject*, PyObject* args) {
    Py_buffer feedback{};
    jointbus::damiao::MitLimits limits;
    if (!PyArg_ParseTuple(args, "y*fff", &feedback, &limits.p_max, &limits.v_max, &limits.t_max)) {
        return nullptr;
    }
    const auto state = jointbus::damiao::decode_feedback(
        limits,
        {static_cast<const std::uint8_t*>(feedback.buf), static_cast<std::size_t>(feedback.len)});
    PyBuffer_Release(&feedback);
    if (!state) {
        PyErr_SetString(PyExc_ValueError, "feedback shorter than 8 bytes");
        return nullptr;
    }
    PyObject* jointbus_module = PyImport_ImportModule("jointbus");
    if (jointbus_module == nullptr) return nullptr;
    PyObject* type = PyObject_GetAttrString(jointbus_module, "MotorState");
    Py_DECREF(jointbus_module);
    if (type == nullptr) return nullptr;
    auto* object =
        PyObject_New(jointbus::python::MotorStateObject, reinterpret_cast<PyTypeObject*>(type));
    Py_DECREF(type);
    if (object == nullptr) return nullptr;
    object->value = *state;
    return reinterpret_cast<PyObject*>(object);
}

PyMethodDef methods[] = {
    {"decode_state", decode_state, METH_VARARGS, nullptr},
    {"emit", jointbus::python::fastcall_method<&emit>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"emit_from_thread", jointbus::python::fastcall_method<&emit_from_thread>(),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"install_bridge", install_bridge, METH_NOARGS, nullptr},
    {"fault_while_holding_bus", fault_while_holding_bus, METH_O, nullptr},
    {"bind_three", jointbus::python::fastcall_method<&bind_three>(), METH_FASTCALL | METH_KEYWORDS,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "_jointbus_testing",
    nullptr,
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__jointbus_testing() {
    if (!jointbus::python::install_logging_bridge()) return nullptr;
    return PyModule_Create(&definition);
}
