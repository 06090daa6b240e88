// Forwards the records of the module's log facility to Python's `logging`.
#pragma once

namespace jointbus::python {

// Imports `logging` and makes the bridge the receiver of this shared object's log facility
// (log::process_facility), admitting records up to Debug. Call with the interpreter lock held.
//
// Returns false with an exception set: PanicException "Failed to initialize python logging: "
// followed by the repr() of the import error (chained as its __cause__) when `logging` cannot
// be imported; MemoryError when the bridge cannot be built. Nothing is installed then, and a
// later call tries again.
//
// Once a call has succeeded, later calls return true and change nothing: the first bridge, its
// `logging` module and its logger cache stay in force for the life of the process. (A later
// call happens when an import of the module failed after installing the bridge and the module
// is imported again.)
[[nodiscard]] bool install_logging_bridge();

}  // namespace jointbus::python
