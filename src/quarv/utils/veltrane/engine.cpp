// Schema.validate: the top-level step and the rule ladder, and the wrappers it validates through.
#include "veltrane.hpp"

namespace veltrane {

// ----- key paths of unseen wrappers ------------------------------------------------------------------

std::unique_ptr<PathRef> PathRef::view(handle list) {
    std::unique_ptr<PathRef> ref(new PathRef());
    ref->view_ = borrow(list.ptr());
    ref->lazy_ = PyList_CheckExact(list.ptr());
    return ref;
}

PathRef::PathRef(const PathRef& parent, handle key) : parent_(&parent), key_(key), lazy_(parent.lazy_) {
    if (lazy_) return;
    // The enclosing path is not a plain list: build now, with the errors Python would raise now.
    object source = parent.get();
    argument_ = key ? extended(source, key) : source;
    own_ = key ? argument_ : own_copy(source);
}

object PathRef::get() const {
    if (view_) return view_;
    if (own_) return own_;
    object source = parent_->get();
    own_ = steal(PyList_GetSlice(source.ptr(), 0, PyList_GET_SIZE(source.ptr())));
    if (key_) check(PyList_Append(own_.ptr(), key_.ptr()));
    return own_;
}

object PathRef::argument() const {
    if (view_) return view_;
    if (argument_) return argument_;
    object source = parent_->get();
    return key_ ? extended(source, key_) : source;
}

// ----- text form -----------------------------------------------------------------------------------------

object schema_text(handle cls, handle path, handle schema_type, handle schema) {
    object empty = text("");
    object class_name = steal(PyObject_Format(attr(cls, "__name__").ptr(), empty.ptr()));
    object parts = new_list();
    for_each(path, [&](handle element) { append(parts, str_of(element)); });
    object joined = steal(PyUnicode_Join(text(".").ptr(), parts.ptr()));
    object type_name = steal(PyObject_Format(attr(schema_type, "__name__").ptr(), empty.ptr()));
    object type_text = steal(PyUnicode_FromFormat("(%U)", type_name.ptr()));
    object schema_part = steal(PyObject_Format(schema.ptr(), empty.ptr()));
    return steal(
        PyUnicode_FromFormat("%U %U %U %U", class_name.ptr(), joined.ptr(), type_text.ptr(), schema_part.ptr()));
}

// ----- nested validations ------------------------------------------------------------------------------

namespace {

using ValidateFn = NativeFn<handle, handle, handle, handle, handle>;

// A validate method of this module's classes, run directly while `obj.validate` is still it.
struct OwnValidate {
    PyObject* Made::*fn;
    ValidateFn impl;
    ValidateFn soft_impl;  // the variant that leaves a failure set instead of thrown, if any
    bool takes_kwargs;     // **kwargs stands where advanced_datatypes would
};

const OwnValidate own_validates[] = {
    {&Made::schema_validate, &schema_validate, &schema_validate_soft, false},
    {&Made::default_validate, &default_validate, nullptr, false},
    {&Made::use_validate, &use_validate, nullptr, true},
    {&Made::listof_validate, &listof_validate, nullptr, false},
    {&Made::or_validate, &or_validate, nullptr, false},
    {&Made::and_validate, &and_validate, nullptr, false},
    {&Made::pathaware_validate, &pathaware_validate, nullptr, true},
};

}  // namespace

object validate_nested(Call& c, handle obj, handle data, handle top, bool soft) {
    object method = attr(obj, "validate");
    if (PyMethod_Check(method.ptr()) && PyMethod_GET_SELF(method.ptr()) == obj.ptr()) {
        PyObject* fn = PyMethod_GET_FUNCTION(method.ptr());
        Made& m = made();
        for (const OwnValidate& own : own_validates) {
            if (fn != m.*own.fn) continue;
            Frame sub = frame_of(fn);
            ValidateFn impl = soft && own.soft_impl ? own.soft_impl : own.impl;
            return impl(sub, obj, data, top, c.locations, own.takes_kwargs ? handle(Py_None) : c.advanced);
        }
    }
    return call_kw(method, {data, top}, {{"locations", c.locations}, {"advanced_datatypes", c.advanced}});
}

object validate_with(Call& c, handle sub, const PathRef& path, handle data, handle top, bool soft) {
    object cls = NATIVE_GLOBAL(c.f, "Schema");
    if (!truth(top) && schema_class_untouched(cls)) {
        Target t{handle(), borrow(sub.ptr()), type_of(sub), &path};
        return run_ladder(c, t, data, soft);
    }
    object wrapper = call(cls, sub, path.argument());
    return validate_nested(c, wrapper, data, top);
}

Wrappers::Wrappers(Call& c, handle subs, handle path, handle top) : c_(c), top_(top) {
    object cls = NATIVE_GLOBAL(c.f, "Schema");
    unseen_ = !truth(top) && schema_class_untouched(cls);
    view_ = PathRef::view(path);
    for_each(subs, [&](handle sub) {
        subs_.push_back(borrow(sub.ptr()));
        paths_.push_back(std::make_unique<PathRef>(*view_, handle()));
        if (!unseen_) real_.push_back(call(cls, sub, paths_.back()->argument()));
    });
}

object Wrappers::validate(size_t i, handle value, bool soft) {
    if (!unseen_) return validate_nested(c_, real_[i], value, top_);
    Target t{handle(), subs_[i], type_of(subs_[i]), paths_[i].get()};
    return run_ladder(c_, t, value, soft);
}

object call_skipping(handle fn, handle a, handle b, std::initializer_list<PyObject*> skipped) {
    PyObject* args[] = {nullptr, a.ptr(), b.ptr()};
    PyObject* result = PyObject_Vectorcall(fn.ptr(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result) return steal(result);
    for (PyObject* type : skipped)
        if (PyErr_ExceptionMatches(type)) return object();
    throw py::error_already_set();
}

object Wrappers::text(size_t i) const {
    if (!unseen_) return str_of(real_[i]);
    return schema_text(handle(made().Schema), paths_[i]->get(), type_of(subs_[i]), subs_[i]);
}

// ----- the rule ladder --------------------------------------------------------------------------------

namespace {

object make_at_path(Call& c, handle error_cls, const Target& t, handle data) {
    object path = t.path_now();
    return call_kw(error_cls, {path, t.schema, data}, {{"locations", c.locations}});
}

// Raises, or with `soft` only sets the error as `raise` would and gives a null object.
object fail_at_path(Call& c, handle error_cls, const Target& t, handle data, bool soft) {
    object error = make_at_path(c, error_cls, t, data);
    if (!soft) raise(error);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    return object();
}

// `schema == builtin`, answered by identity where both sides compare by identity anyway.
bool equals_builtin(PyObject* schema, PyObject* builtin) {
    PyTypeObject* left = Py_TYPE(schema);
    PyTypeObject* right = Py_TYPE(builtin);
    bool plain_left = left == &PyType_Type || left == &PyDict_Type || left == &PyUnicode_Type;
    bool plain_right = right == &PyType_Type || right == &PyCFunction_Type;
    if (plain_left && plain_right) return schema == builtin;
    return truth(steal(PyObject_RichCompare(schema, builtin, Py_EQ)));
}

GlobalSlot builtin_slots[9] = {{"list"}, {"set"}, {"int"}, {"float"}, {"str"}, {"tuple"}, {"chr"}, {"bool"}, {"dict"}};

enum class Builtin { no, passed, failed };

// Rule 3: whether the schema is one of the nine built-ins, and whether `data` passed.
Builtin builtin_rule(Call& c, const Target& t, handle data, bool soft) {
    for (GlobalSlot& slot : builtin_slots) {
        object builtin = c.f.global(slot);
        if (!equals_builtin(t.schema.ptr(), builtin.ptr())) continue;
        if (is_instance(data, t.schema)) return Builtin::passed;
        fail_at_path(c, NATIVE_GLOBAL(c.f, "SchemaTypeError"), t, data, soft);
        return Builtin::failed;
    }
    return Builtin::no;
}

object nested_rule(Call& c, Target& t, handle data, bool soft) {
    object path = t.self ? call_method(attr(t.self, "path"), "copy") : own_copy(t.path->get());
    check(PyObject_SetAttr(t.schema.ptr(), intern("path"), path.ptr()));
    return validate_nested(c, t.schema, data, handle(Py_False), soft);
}

object callable_rule(Call& c, Target& t, handle data) {
    try {
        call(t.schema, data);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        Handling handling(e.value());
        object error = call(NATIVE_GLOBAL(c.f, "SchemaClassError"), t.path_now(), t.schema, data, e.value());
        raise_from(error, e.value());
    }
    if (truth(c.advanced)) return call(t.schema, data);
    return borrow(data.ptr());
}

}  // namespace

object run_ladder(Call& c, Target& t, handle data, bool soft) {
    RecursionGuard guard;
    Frame& f = c.f;
    if (issubclass(t.schema_type, NATIVE_GLOBAL(f, "Any"))) return borrow(data.ptr());
    if (issubclass(t.schema_type, NATIVE_GLOBAL(f, "Schema"))) return nested_rule(c, t, data, soft);
    Builtin builtin = builtin_rule(c, t, data, soft);
    if (builtin == Builtin::passed) return borrow(data.ptr());
    if (builtin == Builtin::failed) return object();
    if (issubclass(t.schema_type, NATIVE_GLOBAL(f, "dict"))) return dict_rule(c, t, data);
    if (PyCallable_Check(t.schema.ptr())) return callable_rule(c, t, data);
    if (truth(steal(PyObject_RichCompare(t.schema.ptr(), data.ptr(), Py_EQ)))) return borrow(data.ptr());
    return fail_at_path(c, NATIVE_GLOBAL(f, "SchemaValueError"), t, data, soft);
}

namespace {

// `self.<name>(value)`, directly when it is still this module's own method.
object own_step(handle self, const char* name, PyObject* fn, object (*impl)(Frame&, handle, handle), handle value) {
    object method = attr(self, name);
    if (is_bound_to(method, self, fn)) {
        Frame sub = frame_of(fn);
        return impl(sub, self, value);
    }
    return call(method, value);
}

object validate_own(Frame& f, handle self, handle data, handle top, handle locations, handle advanced, bool soft) {
    RecursionGuard guard;
    object value = borrow(data.ptr());
    if (truth(top)) {
        Made& m = made();
        value = own_step(self, "apply_defaults", m.apply_defaults, &apply_defaults, value);
        value = own_step(self, "apply_fallback", m.apply_fallback, &apply_fallback, value);
    }
    Call c{f, locations, advanced};
    Target t{self, attr(self, "schema"), attr(self, "schemaType")};
    return run_ladder(c, t, value, soft);
}

}  // namespace

object schema_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    return validate_own(f, self, data, top, locations, advanced, false);
}

object schema_validate_soft(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    return validate_own(f, self, data, top, locations, advanced, true);
}

}  // namespace veltrane
