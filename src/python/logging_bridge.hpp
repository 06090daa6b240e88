// Forwards the records of the module's log facility to Python's `logging`.
#pragma once

namespace jointbus::python {

// Imports `logging` and makes the bridge the facility's receiver. Returns false with an
// exception set (PanicException) when `logging` cannot be imported. Installing again after a
// failed import of the module keeps the first installation.
[[nodiscard]] bool install_logging_bridge();

}  // namespace jointbus::python
