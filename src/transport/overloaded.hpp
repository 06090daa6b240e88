// One visitor made of several lambdas, for std::visit over the error unions.
#pragma once

namespace jointbus {

template <class... Handlers>
struct Overloaded : Handlers... {
    using Handlers::operator()...;
};

}  // namespace jointbus
