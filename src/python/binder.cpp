#include "python/binder.hpp"

#include <algorithm>
#include <string>

namespace jointbus::python {

namespace {

bool too_many_positional(const Signature& signature, std::size_t given) {
    // With every parameter required or every one optional the count is exact; only a mix
    // gives a range.
    const std::size_t n = signature.size();
    const std::size_t required = signature.required();
    const char* verb = given == 1 ? "was" : "were";
    if (required == n || required == 0) {
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given",
                     signature.full_name(), n, given, verb);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zu %s given",
                     signature.full_name(), required, n, given, verb);
    }
    return false;
}

bool bind_keyword(const Signature& signature, PyObject* keyword, PyObject* value,
                  BoundArguments& out) {
    // A call with **mapping can carry any hashable as a key; only a vectorcall's names are
    // guaranteed to be strings. The interpreter's own text for this case.
    if (!PyUnicode_Check(keyword)) {
        PyErr_SetString(PyExc_TypeError, "keywords must be strings");
        return false;
    }
    const std::size_t index = signature.find(keyword);
    if (index == signature.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                     signature.full_name(), keyword);
        return false;
    }
    if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     signature.full_name(), signature.name(index));
        return false;
    }
    out[index] = value;
    return true;
}

bool check_required(const Signature& signature, const BoundArguments& out) {
    std::size_t missing[kMaxParameters];
    std::size_t count = 0;
    for (std::size_t i = 0; i < signature.required(); ++i) {
        if (out[i] == nullptr) missing[count++] = i;
    }
    if (count == 0) return true;

    std::string list;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) list += count == 2 ? " and " : (i + 1 == count ? ", and " : ", ");
        list += '\'';
        list += signature.name(missing[i]);
        list += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s",
                 signature.full_name(), count, count == 1 ? "argument" : "arguments", list.c_str());
    return false;
}

}  // namespace

std::size_t Signature::find(PyObject* keyword) const {
    for (std::size_t i = 0; i < size_; ++i) {
        if (interned_[i] == nullptr) interned_[i] = PyUnicode_InternFromString(names_[i]);
        if (interned_[i] == keyword) return i;
    }
    // A keyword built at run time is not interned: fall back to comparing text.
    for (std::size_t i = 0; i < size_; ++i) {
        if (interned_[i] != nullptr && PyUnicode_Compare(interned_[i], keyword) == 0) return i;
    }
    return size_;
}

bool bind(const Signature& signature, PyObject* const* args, std::size_t nargs, PyObject* kwnames,
          BoundArguments& out) {
    // Every parameter given by position: the usual call in a control loop.
    if (kwnames == nullptr && nargs == signature.size()) {
        std::copy_n(args, nargs, out.begin());
        return true;
    }
    out.fill(nullptr);
    if (nargs > signature.size()) return too_many_positional(signature, nargs);
    for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, k),
                              args[nargs + static_cast<std::size_t>(k)], out)) {
                return false;
            }
        }
    }
    return check_required(signature, out);
}

bool bind(const Signature& signature, PyObject* args, PyObject* kwargs, BoundArguments& out) {
    out.fill(nullptr);
    const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (nargs > signature.size()) return too_many_positional(signature, nargs);
    for (std::size_t i = 0; i < nargs; ++i) {
        out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword = nullptr;
        PyObject* value = nullptr;
        // Dicts iterate in insertion order, which is the order the keywords were given.
        while (PyDict_Next(kwargs, &position, &keyword, &value)) {
            if (!bind_keyword(signature, keyword, value, out)) return false;
        }
    }
    return check_required(signature, out);
}

}  // namespace jointbus::python
