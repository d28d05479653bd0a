// Failures the engine reports. The binding turns each kind into its Python
// exception at the edge of every entry point.
#pragma once

#include <stdexcept>

namespace ostina {

// A value outside its documented range (raised as ValueError).
struct ValueError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A position outside a container (raised as IndexError).
struct IndexError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A failure of the system beneath the engine, such as a device layer that
// cannot be opened (raised as RuntimeError with its text).
struct RuntimeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A broken invariant or an impossible size: an internal fault, never a user
// error (raised as the module's panic exception).
struct Fault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace ostina
