// "Is this still the module's own method?": the one answer every fast path asks for before it calls
// C++ directly instead of looking a method up on an object and calling what it finds.
//
// A module records, once its class is made, what attribute look-up finds for each of a list of
// names on that class (`OwnMethods::record`). Asked about a class later, it answers which of those
// names the class still resolves to the recorded entries along its MRO: a subclass that overrides
// one, or an assignment to the class attribute, takes that name out. The answer is kept per class
// while the class's version tag is unchanged (every change of the class or of one of its bases
// renews the tag), so a repeated question costs two comparisons. Asked about an instance, it also
// drops the names that the instance's own __dict__ shadows (functions are no data descriptors, so
// an instance attribute wins over them).
//
// The kept verdicts rely on the GIL: they are read and written only by the thread that holds it.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "native/object.hpp"

namespace native {

// One value per class, kept while the class's version tag is unchanged: `get(type, make)` returns the
// kept value when `type` is the class it was made for and its tag has not changed since, else
// `make(type)`'s, which it keeps. A class without a valid tag is asked afresh every time. `Value` is
// copyable; an `object` value is shown to the collector by `visit`.
template <typename Value>
class ClassMemo {
public:
    template <typename Make>
    const Value& get(PyTypeObject* type, Make&& make) {
        if (version_ != 0 && type_.ptr() == reinterpret_cast<PyObject*>(type) &&
            internals::type_version(type) == version_)
            return value_;
        Value made = make(type);
        // read after making: a look-up along the MRO is what gives a class its tag
        version_ = internals::type_version(type);
        type_ = py::reinterpret_borrow<object>(reinterpret_cast<PyObject*>(type));
        value_ = std::move(made);
        return value_;
    }
    void forget() {
        version_ = 0;
        type_ = object();
    }
    template <typename Visit>
    void visit(Visit& v) {
        v(type_);
        if constexpr (std::is_same_v<Value, object>) v(value_);
    }

private:
    object type_;
    unsigned int version_ = 0;
    Value value_{};
};

// Whether an instance attribute named `name` (an interned text) shadows a non-data descriptor of
// the class: obj's own __dict__ holds the name.
bool instance_shadows(handle obj, PyObject* name);

class OwnMethods {
public:
    static constexpr uint32_t all = ~uint32_t{0};

    // Records what look-up on `cls` finds for each name now, in order: bit i stands for names[i].
    // A name the class defines itself is the entry its class statement made (a function, a
    // classmethod object...); one it inherits is what the base gives (`__new__` finds
    // `object.__new__`). At most 32 names; SystemError when a name is found nowhere.
    void record(handle cls, std::initializer_list<Name> names) { record(cls, std::span<const Name>(names)); }
    // The same for names kept in a table of the module's own (an array of them).
    void record(handle cls, std::span<const Name> names);

    // The bits of the names that look-up on instances of `type` still finds as recorded, unless an
    // instance attribute shadows them. A class whose __getattribute__ is not object's own keeps none.
    uint32_t class_bits(PyTypeObject* type) {
        return verdict_.get(type, [this](PyTypeObject* t) { return compute(t); });
    }
    uint32_t class_bits(handle cls) { return class_bits(reinterpret_cast<PyTypeObject*>(cls.ptr())); }
    // Every name of `bits` is still the recorded entry on `type`.
    bool class_has(PyTypeObject* type, uint32_t bits) { return (class_bits(type) & bits) == bits; }

    // The bits of `wanted` that hold for this instance: those its class still has and whose name
    // its own __dict__ does not shadow.
    uint32_t instance_bits(handle obj, uint32_t wanted = all);
    bool instance_has(handle obj, uint32_t bits) { return (instance_bits(obj, bits) & bits) == bits; }

    // The recorded entry of name i.
    handle member(int i) const { return members_[static_cast<size_t>(i)]; }
    size_t size() const { return members_.size(); }

    template <typename Visit>
    void visit(Visit& v) {
        v(members_);
        verdict_.visit(v);
    }

private:
    uint32_t compute(PyTypeObject* type) const;

    std::vector<Name> names_;
    std::vector<object> members_;
    ClassMemo<uint32_t> verdict_;
};

}  // namespace native
