// Showing the objects a native record holds (a module's state, an iterator's state) to the garbage
// collector, and dropping them: the record names each member in a `visit` method.
#pragma once

#include <vector>

#include "native/function.hpp"

namespace native::detail {

struct GcVisitor {
    visitproc visit;
    void* arg;
    int result = 0;
    void operator()(object& member) {
        if (!result && member) result = visit(member.ptr(), arg);
    }
    void operator()(std::vector<object>& members) {
        for (object& member : members) (*this)(member);
    }
    void operator()(FunctionTemplate& member) { (*this)(member.prototype()); }
    // a member that names its own objects (OwnMethods, ClassMemo)
    template <typename Record>
        requires requires(Record& r, GcVisitor& v) { r.visit(v); }
    void operator()(Record& member) {
        member.visit(*this);
    }
};

// Drops each member (what a dropped object's release runs may see the record half cleared, as with
// Py_CLEAR of a C type's fields).
struct GcClearer {
    void operator()(object& member) { object dropped = std::move(member); }
    void operator()(std::vector<object>& members) {
        std::vector<object> dropped = std::move(members);
        members.clear();
    }
    void operator()(FunctionTemplate& member) { (*this)(member.prototype()); }
    template <typename Record>
        requires requires(Record& r, GcClearer& v) { r.visit(v); }
    void operator()(Record& member) {
        member.visit(*this);
    }
};

}  // namespace native::detail
