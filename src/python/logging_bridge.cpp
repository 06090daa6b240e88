#include "python/logging_bridge.hpp"

#include <Python.h>

#include <array>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>

#include "jointbus/log.hpp"
#include "python/interpreter.hpp"
#include "python/panic.hpp"
#include "python/py_ref.hpp"

namespace jointbus::python {

namespace {

// The threshold of a logger that was disabled for every level at its first record.
constexpr int kAdmitsNothing = std::numeric_limits<int>::max();

// Most verbose first: the first level a logger is enabled for is its effective level.
constexpr std::array<int, 5> kProbedLevels = {5, 10, 20, 30, 40};

int python_level(log::Level level) {
    switch (level) {
        case log::Level::Error:
            return 40;
        case log::Level::Warn:
            return 30;
        case log::Level::Info:
            return 20;
        case log::Level::Debug:
            return 10;
        case log::Level::Trace:
            return 5;
        case log::Level::Off:
            break;
    }
    return 0;
}

std::string logger_name(std::string_view target) {
    std::string name;
    name.reserve(target.size());
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target.compare(i, 2, "::") == 0) {
            name += '.';
            ++i;
        } else {
            name += target[i];
        }
    }
    return name;
}

// Text from C++ is decoded leniently: a stray byte must not turn a record into an error.
PyRef text(std::string_view utf8) {
    return PyRef::steal(
        PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

// Prints the pending exception as the interpreter prints an uncaught one: through
// sys.excepthook, falling back to the default display. Unlike PyErr_Print this neither exits
// on SystemExit nor records the exception in sys.last_*: the failure belongs to no Python frame.
void print_pending_exception() {
    const auto [owned_type, owned_value, owned_traceback] = TakenException::take();
    if (!owned_type) return;
    PyObject* shown_traceback = owned_traceback ? owned_traceback.get() : Py_None;
    PyObject* shown_value = owned_value ? owned_value.get() : Py_None;
    // Held strongly: the hook may replace sys.excepthook while it runs.
    const PyRef hook = PyRef::borrow(PySys_GetObject("excepthook"));
    if (hook && hook.get() != Py_None) {
        const PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(
            hook.get(), owned_type.get(), shown_value, shown_traceback, nullptr));
        if (result) return;
        PyErr_Clear();
    }
    PyErr_Display(owned_type.get(), shown_value, shown_traceback);
}

// Holds the interpreter lock for a scope, from any thread.
class InterpreterLock {
public:
    InterpreterLock() : state_(ensure_thread()) {}
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;
    ~InterpreterLock() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

class LoggingBridge final : public log::Receiver {
public:
    // Null with an exception set when a name cannot be interned.
    static std::unique_ptr<LoggingBridge> create(PyRef logging) {
        auto bridge = std::unique_ptr<LoggingBridge>(new LoggingBridge(std::move(logging)));
        if (!bridge->get_logger_ || !bridge->is_enabled_for_ || !bridge->make_record_ ||
            !bridge->handle_) {
            return nullptr;
        }
        return bridge;
    }

    void deliver(const log::Record& record) noexcept override {
        // After finalisation there is no interpreter whose lock could be taken; while another
        // thread finalises it, this one cannot take it (python/interpreter.hpp).
        if (!Py_IsInitialized() || ended_by_finalisation()) return;
        try {
            const int level = python_level(record.level);
            std::string name = logger_name(record.target);
            const CachedLogger* cached = find(name);
            if (cached != nullptr && level < cached->threshold) return;

            const InterpreterLock gil;
            // An exception pending in the emitting thread is set aside and restored after.
            const PendingException emitter_exception;
            // Another thread may have cached the logger while this one waited for the lock.
            if (cached == nullptr) cached = find(name);
            if (cached != nullptr && level < cached->threshold) return;
            if (!deliver_with_lock(std::move(name), level, record, cached)) {
                print_pending_exception();
            }
        } catch (const std::bad_alloc&) {
            // The record is lost; the emitting code never learns of delivery failures.
        }
    }

private:
    struct CachedLogger {
        PyRef logger;
        PyRef name;
        int threshold = kAdmitsNothing;  // records less severe than this are dropped
    };

    explicit LoggingBridge(PyRef logging)
        : logging_(std::move(logging)),
          get_logger_(PyRef::steal(PyUnicode_InternFromString("getLogger"))),
          is_enabled_for_(PyRef::steal(PyUnicode_InternFromString("isEnabledFor"))),
          make_record_(PyRef::steal(PyUnicode_InternFromString("makeRecord"))),
          handle_(PyRef::steal(PyUnicode_InternFromString("handle"))) {}

    // Lock order: the cache mutex is never held while waiting for the interpreter lock or
    // calling into Python, so a thread holding the interpreter lock may wait for it.
    const CachedLogger* find(const std::string& name) const {
        const std::lock_guard lock(cache_mutex_);
        const auto found = cache_.find(name);
        // Entries are never erased and map nodes never move: the pointer stays valid.
        return found == cache_.end() ? nullptr : &found->second;
    }

    // 1 if enabled, 0 if not, -1 with an exception set.
    int is_enabled_for(PyObject* logger, PyObject* level) const {
        const PyRef answer =
            PyRef::steal(PyObject_CallMethodOneArg(logger, is_enabled_for_.get(), level));
        return answer ? PyObject_IsTrue(answer.get()) : -1;
    }

    // Runs with the interpreter lock held; false with an exception set on a Python error. An
    // error ends the delivery before the logger is cached, so the next record tries again.
    bool deliver_with_lock(std::string name, int level, const log::Record& record,
                           const CachedLogger* cached) {
        CachedLogger fresh;
        if (cached == nullptr) {
            fresh.name = text(name);
            if (!fresh.name) return false;
            fresh.logger = PyRef::steal(
                PyObject_CallMethodOneArg(logging_.get(), get_logger_.get(), fresh.name.get()));
            if (!fresh.logger) return false;
        }
        const CachedLogger& target = cached != nullptr ? *cached : fresh;

        const PyRef py_level = PyRef::steal(PyLong_FromLong(level));
        if (!py_level) return false;
        const int enabled = is_enabled_for(target.logger.get(), py_level.get());
        if (enabled < 0) return false;
        if (enabled == 1 && !forward(target, py_level.get(), record)) return false;
        if (cached != nullptr) return true;

        for (const int probed : kProbedLevels) {
            const PyRef py_probed = PyRef::steal(PyLong_FromLong(probed));
            if (!py_probed) return false;
            const int probed_enabled = is_enabled_for(fresh.logger.get(), py_probed.get());
            if (probed_enabled < 0) return false;
            if (probed_enabled == 1) {
                fresh.threshold = probed;
                break;
            }
        }
        {
            const std::lock_guard lock(cache_mutex_);
            // If another thread cached the name first, `fresh` is left untouched and released
            // below, after the mutex, since releasing a reference may run Python code.
            cache_.try_emplace(std::move(name), std::move(fresh));
        }
        return true;
    }

    // logger.handle(logger.makeRecord(name, level, file, line, message, (), None))
    bool forward(const CachedLogger& target, PyObject* py_level, const log::Record& record) {
        PyRef file = record.file
                         ? PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(
                               record.file->data(), static_cast<Py_ssize_t>(record.file->size())))
                         : PyRef::borrow(Py_None);
        const PyRef line = PyRef::steal(PyLong_FromUnsignedLong(record.line.value_or(0)));
        const PyRef message = text(record.message);
        const PyRef no_arguments = PyRef::steal(PyTuple_New(0));
        if (!file || !line || !message || !no_arguments) return false;
        const std::array<PyObject*, 8> arguments = {
            target.logger.get(), target.name.get(), py_level,           file.get(),
            line.get(),          message.get(),     no_arguments.get(), Py_None,
        };
        const PyRef made = PyRef::steal(PyObject_VectorcallMethod(
            make_record_.get(), arguments.data(), arguments.size(), nullptr));
        if (!made) return false;
        const PyRef handled =
            PyRef::steal(PyObject_CallMethodOneArg(target.logger.get(), handle_.get(), made.get()));
        return static_cast<bool>(handled);
    }

    const PyRef logging_;
    const PyRef get_logger_;
    const PyRef is_enabled_for_;
    const PyRef make_record_;
    const PyRef handle_;

    mutable std::mutex cache_mutex_;
    std::unordered_map<std::string, CachedLogger> cache_;  // guarded by cache_mutex_
};

// Never destroyed: records may be emitted until the process ends, and its references must not
// be released after the interpreter is finalised.
LoggingBridge* installed_bridge = nullptr;

// PanicException "Failed to initialize python logging: {repr of the error}", with the import
// error as its cause.
void raise_installation_fault() {
    const auto [owned_type, owned_value, owned_traceback] = TakenException::take();

    std::string message = "Failed to initialize python logging: ";
    const PyRef described = PyRef::steal(PyObject_Repr(owned_value.get()));
    const char* utf8 = described ? PyUnicode_AsUTF8(described.get()) : nullptr;
    if (utf8 != nullptr) {
        message += utf8;
    } else {
        PyErr_Clear();
        message += owned_type ? reinterpret_cast<PyTypeObject*>(owned_type.get())->tp_name
                              : "unknown error";
    }
    raise_panic(message.c_str());

    TakenException panic = TakenException::take();
    if (panic.value && owned_value) {
        // steals the reference
        PyException_SetCause(panic.value.get(), PyRef(owned_value).release());
    }
    std::move(panic).restore();
}

}  // namespace

bool install_logging_bridge() {
    if (installed_bridge != nullptr) return true;
    PyRef logging = PyRef::steal(PyImport_ImportModule("logging"));
    if (!logging) {
        raise_installation_fault();
        return false;
    }
    std::unique_ptr<LoggingBridge> bridge = LoggingBridge::create(std::move(logging));
    if (!bridge) return false;
    if (!log::process_facility.install(*bridge, log::Level::Debug)) {
        raise_panic("the log facility already has a receiver");
        return false;
    }
    installed_bridge = bridge.release();
    return true;
}

}  // namespace jointbus::python
