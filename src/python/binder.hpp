// Binds the arguments of every constructor, method and function of the module to its
// parameters: one table per callable, one set of message templates.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace jointbus::python {

// The most any callable takes: Robot(buses, ..., realtime_priority, cpus).
inline constexpr std::size_t kMaxParameters = 7;

// The parameters of one callable, all positional-or-keyword; the first `required` ones have
// no default. Declared once per callable as a static.
class Signature {
public:
    // `full_name` is how messages name the callable, e.g. "Damiao.enable()". A callable of
    // more than kMaxParameters parameters does not compile.
    template <std::size_t N>
    requires(N <= kMaxParameters)
        Signature(const char* full_name, const char* const (&names)[N], std::size_t required)
        : full_name_(full_name), size_(N), required_(required) {
        for (std::size_t i = 0; i < N; ++i) names_[i] = names[i];
    }
    // A callable without parameters.
    explicit Signature(const char* full_name) : full_name_(full_name), size_(0), required_(0) {}

    [[nodiscard]] const char* full_name() const { return full_name_; }
    [[nodiscard]] std::size_t size() const { return size_; }
    [[nodiscard]] std::size_t required() const { return required_; }
    [[nodiscard]] const char* name(std::size_t index) const { return names_[index]; }

    // The index of the parameter called `keyword`, or size() when there is none. Interned
    // keywords (the usual case) match by identity without comparing text.
    [[nodiscard]] std::size_t find(PyObject* keyword) const;

private:
    const char* full_name_;
    std::array<const char*, kMaxParameters> names_{};
    mutable std::array<PyObject*, kMaxParameters> interned_{};  // made on first keyword use
    std::size_t size_;
    std::size_t required_;
};

// Arguments bound to parameters, as borrowed references; null where an optional parameter
// was not given.
using BoundArguments = std::array<PyObject*, kMaxParameters>;

// Binds a vectorcall (positional values, then keyword values named by `kwnames`). Returns
// false with TypeError set on a binding failure.
[[nodiscard]] bool bind(const Signature& signature, PyObject* const* args, std::size_t nargs,
                        PyObject* kwnames, BoundArguments& out);

// Binds a classic call (a tuple and an optional dict), as tp_new receives it.
[[nodiscard]] bool bind(const Signature& signature, PyObject* args, PyObject* kwargs,
                        BoundArguments& out);

}  // namespace jointbus::python
