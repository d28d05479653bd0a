// The result of an operation that changes its object, split in two so that a
// caller can finish whatever may still fail (building its own copy of the
// result) before the object changes.
#pragma once

namespace ostina {

// `change.apply(object)` commits the change: it succeeds, or throws and
// leaves the object as it was.
template <class Result, class Change>
struct Staged {
    Result result;
    Change change;
};

}  // namespace ostina
