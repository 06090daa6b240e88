#include <cstring>

#include "python/classes.hpp"

namespace jointbus::python {

ClassTypes class_types;

void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // heap types are owned by their instances too
}

PyObject* create_type(PyType_Spec& definition) {
    PyObject* type = PyType_FromSpec(&definition);
    if (type == nullptr) return nullptr;
    const char* internal_doc = nullptr;
    for (const PyType_Slot* s = definition.slots; s->slot != 0; ++s) {
        if (s->slot == Py_tp_doc) internal_doc = static_cast<const char*>(s->pfunc);
    }
    if (internal_doc == nullptr) return type;
    // A doc slot given through a type definition loses its signature line; the full text is put
    // back so that __text_signature__ reports it (__doc__, already in the type's dict, stays "").
    const std::size_t size = std::strlen(internal_doc) + 1;
    auto* doc = static_cast<char*>(PyObject_Malloc(size));
    if (doc == nullptr) {
        Py_DECREF(type);
        return PyErr_NoMemory();
    }
    std::memcpy(doc, internal_doc, size);
    auto* heap_type = reinterpret_cast<PyTypeObject*>(type);
    PyObject_Free(const_cast<char*>(heap_type->tp_doc));
    heap_type->tp_doc = doc;
    return type;
}

}  // namespace jointbus::python
