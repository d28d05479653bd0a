// Change, then commit: the shape of every engine operation that changes its
// object and hands back a value the binding still has to convert.
//
// Such an operation is declared const (`Mixer::add_channel(...) const`,
// `Sampler::render(...) const`): it computes its result and describes the
// change without touching the object, and returns both as a Staged. The
// caller first finishes whatever may still fail, building its own copy of
// the result (a Python list, say), and only then commits the change with
// `change.apply(object)`. A failure on the way out therefore leaves the
// object exactly as it was. The sampler renders into a copy of its voices
// for the same reason; the copy becomes the voices when the block is taken.
#pragma once

#include <cstddef>

namespace ostina {

// `change.apply(object)` commits the change: it succeeds, or throws and
// leaves the object as it was. Change types are named for what they do.
template <class Result, class Change>
struct Staged {
    Result result;
    Change change;
};

// The change of a removal by position, for any object that keeps its items
// in order: erases item `index`, or nothing when `index` is past the end.
// The object does the erasing in a private `erase_at(index) noexcept`, made
// reachable with `friend EraseAt<Object>`; it cannot fail, so neither can
// the commit.
template <class Owner>
struct EraseAt {
    std::size_t index;
    void apply(Owner& owner) const noexcept { owner.erase_at(index); }
};

}  // namespace ostina
