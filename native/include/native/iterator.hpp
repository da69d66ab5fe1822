// Lazy results: a native iterator whose steps are C++ code working on a state of its own, as a
// generator's frame is the state its steps work on.
#pragma once

#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "native/visit.hpp"

namespace native {

// A state names each object it holds in a `visit` method, as a module's state does (module.hpp), so
// that the collector sees them and a cycle through the iterator is freed:
//
//     struct Walk {
//         object list;
//         Py_ssize_t index = 0;
//         template <typename Visit> void visit(Visit& v) { v(list); }
//         object next();  // the next item, or an empty object once there is none
//     };
//     return make_iterator(Walk{borrow(list.ptr())});
//
// A visit may name `object`, `std::vector<object>` and FunctionTemplate members. A step changes the
// state by assigning to its members (the old object is released after the new one is stored) and
// keeps nothing borrowed from one step to the next.
//
// The iterator behaves as a generator does: `__iter__` returns itself; a step that returns an empty
// object ends it, and one that fails raises its error and ends it too; once ended, it raises
// StopIteration at every `next` without running a step, and its state is freed. A step that calls
// `next` on its own iterator gets ValueError, as a running generator does.
template <typename State>
object make_iterator(State state);

// The same with the step given apart from the state: `step(state)` gives the next item or an empty
// object. The step captures nothing (what it needs lives in the state, where the collector sees it).
template <typename State, typename Step>
object make_iterator(State state, Step step);

namespace detail {

class IteratorCore {
public:
    virtual ~IteratorCore() = default;
    virtual object next() = 0;
    virtual int traverse(visitproc visit, void* arg) noexcept = 0;
};

template <typename State>
class IteratorOf final : public IteratorCore {
public:
    explicit IteratorOf(State state) : state_(std::move(state)) {}
    object next() override { return state_.next(); }
    int traverse(visitproc visit, void* arg) noexcept override {
        GcVisitor visitor{visit, arg};
        state_.visit(visitor);
        return visitor.result;
    }

private:
    State state_;
};

template <typename State, typename Step>
struct SteppedState {
    State state;
    [[no_unique_address]] Step step;
    object next() { return step(state); }
    template <typename Visit>
    void visit(Visit& v) {
        state.visit(v);
    }
};

object wrap_iterator(std::unique_ptr<IteratorCore> core);

}  // namespace detail

template <typename State>
object make_iterator(State state) {
    return detail::wrap_iterator(std::make_unique<detail::IteratorOf<State>>(std::move(state)));
}

template <typename State, typename Step>
object make_iterator(State state, Step step) {
    static_assert(std::is_empty_v<Step>,
                  "an iterator's step captures nothing: the objects it needs belong in the state, which the "
                  "collector sees");
    return make_iterator(detail::SteppedState<State, Step>{std::move(state), step});
}

}  // namespace native
