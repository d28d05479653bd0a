// Operations that both change their object and produce a result hand the two
// back apart: the result, and the object's next state, which the caller
// commits once it is done with the result. A caller whose own work on the
// result fails (a Python list that cannot be built) then leaves the object
// exactly as it was.
#pragma once

#include <utility>

namespace ostina {

// `next` goes back to the object through its `commit(Next)`.
template <class Result, class Next>
struct Staged {
    Result result;
    Next next;
};

template <class T>
inline constexpr bool is_staged = false;

template <class Result, class Next>
inline constexpr bool is_staged<Staged<Result, Next>> = true;

// Commits at once and hands back the result, for callers with nothing left
// that could fail in between.
template <class T, class Result, class Next>
Result commit_now(T& object, Staged<Result, Next> staged) {
    object.commit(std::move(staged.next));
    return std::move(staged.result);
}

}  // namespace ostina
