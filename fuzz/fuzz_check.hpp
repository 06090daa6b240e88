// What every fuzz target shares: reading typed values off the front of the input, so that a
// seed file reads in the order the target's comment lists its fields, and stopping on a broken
// property in a way libFuzzer records as a crash.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <type_traits>

namespace jointbus::fuzz {

// The next sizeof(T) bytes as a T, in host byte order; missing bytes read as zero.
template <class T>
[[nodiscard]] T take(FuzzedDataProvider& input) {
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    input.ConsumeData(&value, sizeof value);
    return value;
}

// Aborts with `what` when `holds` is false; libFuzzer then saves the input that did it.
inline void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "broken property: %s\n", what);
    std::abort();
}

}  // namespace jointbus::fuzz
