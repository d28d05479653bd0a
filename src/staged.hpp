// A result computed ahead of the change that produced it.
#pragma once

#include <functional>

namespace ostina {

// An operation that both changes its object and returns a value hands back
// the value with the change still pending: the caller first makes what it
// needs of `result` (which may fail and must then leave the object as it
// was), and only then applies `commit`, which does not throw.
template <class Result>
struct Staged {
    Result result;
    std::function<void()> commit;
};

}  // namespace ostina
