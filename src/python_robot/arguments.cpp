#include "python_robot/arguments.hpp"

namespace jointbus::python_robot {

using python::PyRef;

PyRef type_name(PyObject* object) { return PyRef::steal(PyType_GetQualName(Py_TYPE(object))); }

PyRef items_of(PyObject* object, const char* name) {
    if (PyList_Check(object) || PyTuple_Check(object)) return PyRef::borrow(object);
    // An object that has no iterator is named here; an iterator that fails passes its own error.
    if (Py_TYPE(object)->tp_iter == nullptr && !PySequence_Check(object)) {
        const PyRef type = type_name(object);
        if (type) {
            PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not iterable", name,
                         type.get());
        }
        return {};
    }
    return PyRef::steal(PySequence_List(object));
}

PyRef items_of(PyObject* object, const char* name, std::size_t most) {
    if (PyList_Check(object) || PyTuple_Check(object)) return PyRef::borrow(object);
    if (Py_TYPE(object)->tp_iter == nullptr && !PySequence_Check(object))
        return items_of(object, name);
    const PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    PyRef list = PyRef::steal(PyList_New(0));
    if (!iterator || !list) return {};
    while (static_cast<std::size_t>(PyList_GET_SIZE(list.get())) < most) {
        const PyRef item = PyRef::steal(PyIter_Next(iterator.get()));
        if (!item) {
            if (PyErr_Occurred() != nullptr) return {};
            break;
        }
        if (PyList_Append(list.get(), item.get()) != 0) return {};
    }
    return list;
}

bool item_type_error(PyObject* item, const char* name, std::size_t index, const char* expected) {
    const PyRef type = type_name(item);
    if (type) {
        PyErr_Format(PyExc_TypeError,
                     "argument '%s': item %zu: '%U' object cannot be converted to %s", name, index,
                     type.get(), expected);
    }
    return false;
}

bool not_bool(PyObject* object, const char* name, const char* expected) {
    if (!PyBool_Check(object)) return true;
    PyErr_Format(PyExc_TypeError, "argument '%s': 'bool' object cannot be converted to %s", name,
                 expected);
    return false;
}

}  // namespace jointbus::python_robot
