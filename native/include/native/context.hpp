// `with` statements in native code.
#pragma once

#include <type_traits>
#include <utility>

#include "native/errors.hpp"

namespace native {

namespace detail {

// One `with` statement under way, from its start (both methods looked up, __enter__ called) to the
// call of __exit__.
class WithStatement {
public:
    explicit WithStatement(handle manager);
    WithStatement(const WithStatement&) = delete;
    WithStatement& operator=(const WithStatement&) = delete;
    // What __enter__ returned: the target of `as`.
    handle value() const { return value_; }
    // `__exit__(None, None, None)`, after a body that ran to its end.
    void exit_normally();
    // Inside a catch block: hands whatever the body threw (as the Python error it becomes at the
    // boundary) to __exit__, and returns when __exit__ swallows it; raises it again otherwise.
    void exit_with_current_exception();

private:
    object exit_;
    object value_;
};

}  // namespace detail

// `with manager as value: body(value)` (a body taking no argument stands for a `with` without
// `as`), as the statement runs it: __enter__ and __exit__ are looked up on the manager's type, with
// the statement's TypeError when one is missing; __exit__ gets the error the body raised, or threw in
// any other way, with its type and traceback, while that error is the one being handled; a true
// result swallows it. Returns whether the body ran to its end (false: it failed and __exit__
// swallowed the error, and the code after the statement runs).
template <typename Body>
bool with(handle manager, Body&& body) {
    detail::WithStatement statement(manager);
    try {
        if constexpr (std::is_invocable_v<Body, handle>) {
            std::forward<Body>(body)(statement.value());
        } else {
            std::forward<Body>(body)();
        }
    } catch (...) {
        statement.exit_with_current_exception();
        return false;
    }
    statement.exit_normally();
    return true;
}

}  // namespace native
