// SocketCanTransport: the bus object, owning one open socket behind the bus lock.
#include <new>
#include <string_view>
#include <utility>

#include "python/binder.hpp"
#include "python/classes.hpp"
#include "python/convert.hpp"
#include "python/panic.hpp"

namespace jointbus::python {

namespace {

PyObject* bus_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return at_boundary<PyObject*>(
        [&]() -> PyObject* {
            static const Signature signature("SocketCanTransport.__new__()", {"iface"}, 1);
            BoundArguments bound;
            if (!bind(signature, args, kwargs, bound)) return nullptr;
            std::string_view iface;
            if (!to_text(bound[0], signature.name(0), iface)) return nullptr;

            // The socket is opened before any Python object exists, so a failure leaves nothing.
            auto transport = transport::SocketCanTransport::open(iface);
            if (!transport) {
                // Built from the message alone: errno and strerror stay None.
                PyErr_SetString(PyExc_OSError, transport.error().text().c_str());
                return nullptr;
            }
            PyObject* self = type->tp_alloc(type, 0);
            if (self == nullptr) return nullptr;  // the transport closes its socket on the way out
            new (&reinterpret_cast<BusObject*>(self)->bus)
                BusLock<OpenBus>(OpenBus{std::move(*transport), {}, {}});
            return self;
        },
        nullptr);
}

void bus_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<BusObject*>(self)->bus.~BusLock();  // closes the socket
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace

PyObject* create_bus_type() {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("SocketCanTransport(iface)\n--\n\n")},
        {Py_tp_new, slot(&bus_new)},
        {Py_tp_dealloc, slot(&bus_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec definition = {"jointbus.SocketCanTransport", sizeof(BusObject), 0,
                                     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    PyObject* type = create_type(definition);
    class_types.bus = reinterpret_cast<PyTypeObject*>(Py_XNewRef(type));
    return type;
}

}  // namespace jointbus::python
