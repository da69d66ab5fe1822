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

using ValidateFn = NativeResultFn<handle, handle, handle, handle, handle>;

// A validate method of this module's classes, run directly while `obj.validate` is still it.
struct OwnValidate {
    object OwnObjects::* fn;
    ValidateFn impl;
    bool takes_kwargs;  // **kwargs stands where advanced_datatypes would
};

const OwnValidate own_validates[] = {
    {&OwnObjects::schema_validate, &schema_validate, false},
    {&OwnObjects::default_validate, &default_validate, false},
    {&OwnObjects::use_validate, &use_validate, true},
    {&OwnObjects::listof_validate, &listof_validate, false},
    {&OwnObjects::or_validate, &or_validate, false},
    {&OwnObjects::and_validate, &and_validate, false},
    {&OwnObjects::pathaware_validate, &pathaware_validate, true},
};

}  // namespace

Result call_validate(Frame& f, handle method, handle data, handle top, handle locations, handle advanced) {
    PyObject* args[] = {nullptr, data.ptr(), top.ptr(), locations.ptr(), advanced.ptr()};
    return Result::of(PyObject_Vectorcall(method.ptr(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          f.state<State>().validate_keywords.ptr()));
}

Result validate_nested(Validation& validation, handle obj, handle data, handle top) {
    object method = attr(obj, "validate");
    if (PyMethod_Check(method.ptr()) && PyMethod_GET_SELF(method.ptr()) == obj.ptr()) {
        handle fn = PyMethod_GET_FUNCTION(method.ptr());
        const OwnObjects& own = validation.f.state<State>().own;
        for (const OwnValidate& candidate : own_validates) {
            if (fn.ptr() != (own.*candidate.fn).ptr()) continue;
            Frame frame = frame_of(fn);
            handle last = candidate.takes_kwargs ? handle(Py_None) : validation.advanced;
            return candidate.impl(frame, obj, data, top, validation.locations, last);
        }
    }
    return call_validate(validation.f, method, data, top, validation.locations, validation.advanced);
}

Result validate_with(Validation& validation, handle sub, const PathRef& path, handle data, handle top) {
    object cls = NATIVE_GLOBAL(validation.f, "Schema");
    if (!truth(top) && schema_class_untouched(validation.f, cls)) {
        SchemaTarget target{handle(), borrow(sub.ptr()), type_of(sub), &path};
        return run_ladder(validation, target, data);
    }
    object wrapper = call(cls, sub, path.argument());
    return validate_nested(validation, wrapper, data, top);
}

Wrappers::Wrappers(Validation& validation, handle subs, handle path, handle top) : validation_(validation), top_(top) {
    object cls = NATIVE_GLOBAL(validation.f, "Schema");
    unseen_ = !truth(top) && schema_class_untouched(validation.f, cls);
    view_ = PathRef::view(path);
    for_each(subs, [&](handle sub) {
        subs_.push_back(borrow(sub.ptr()));
        paths_.push_back(std::make_unique<PathRef>(*view_, handle()));
        if (!unseen_) real_.push_back(call(cls, sub, paths_.back()->argument()));
    });
}

Result Wrappers::validate(size_t i, handle value) {
    if (!unseen_) return validate_nested(validation_, real_[i], value, top_);
    SchemaTarget target{handle(), subs_[i], type_of(subs_[i]), paths_[i].get()};
    return run_ladder(validation_, target, value);
}

object Wrappers::text(size_t i) const {
    if (!unseen_) return str_of(real_[i]);
    object cls = validation_.f.state<State>().own.Schema;
    return schema_text(cls, paths_[i]->get(), type_of(subs_[i]), subs_[i]);
}

object call_skipping(handle fn, handle a, handle b, std::initializer_list<PyObject*> skipped) {
    PyObject* args[] = {nullptr, a.ptr(), b.ptr()};
    PyObject* result = PyObject_Vectorcall(fn.ptr(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result) return steal(result);
    for (PyObject* type : skipped) {
        if (PyErr_ExceptionMatches(type)) {
            PyErr_Clear();
            return object();
        }
    }
    throw_error();
}

// ----- the rule ladder --------------------------------------------------------------------------------

namespace {

Result fail_at_path(Validation& validation, handle error_class, const SchemaTarget& target, handle data) {
    object path = target.path_now();
    return raised(call_kw(error_class, {path, target.schema, data}, {{"locations", validation.locations}}));
}

// `schema == builtin`, answered by identity where both sides compare by identity anyway.
bool equals_builtin(handle schema, handle builtin) {
    PyTypeObject* left = Py_TYPE(schema.ptr());
    PyTypeObject* right = Py_TYPE(builtin.ptr());
    bool plain_left = left == &PyType_Type || left == &PyDict_Type || left == &PyUnicode_Type;
    bool plain_right = right == &PyType_Type || right == &PyCFunction_Type;
    if (plain_left && plain_right) return schema.ptr() == builtin.ptr();
    return equal(schema, builtin);
}

GlobalSlot builtin_slots[9] = {{"list"}, {"set"}, {"int"}, {"float"}, {"str"}, {"tuple"}, {"chr"}, {"bool"}, {"dict"}};

// Rule 3: the schema is one of the nine built-ins, whose rule is `isinstance(data, schema)`.
bool is_builtin_schema(Frame& f, handle schema) {
    for (GlobalSlot& slot : builtin_slots) {
        if (equals_builtin(schema, f.global(slot))) return true;
    }
    return false;
}

Result nested_rule(Validation& validation, SchemaTarget& target, handle data) {
    object path = target.self ? call_method(attr(target.self, "path"), "copy") : own_copy(target.path->get());
    set_attr(target.schema, "path", path);
    return validate_nested(validation, target.schema, data, handle(Py_False));
}

Result callable_rule(Validation& validation, SchemaTarget& target, handle data) {
    if (!Result::of(PyObject_CallOneArg(target.schema.ptr(), data.ptr()))) {
        Caught raised;
        if (!raised.matches(PyExc_Exception)) return pass_on(raised);
        Handling handling(raised.value());
        object path = target.path_now();
        object error = call(NATIVE_GLOBAL(validation.f, "SchemaClassError"), path, target.schema, data, raised.value());
        raise_from(error, raised.value());
    }
    if (truth(validation.advanced)) return Result::of(PyObject_CallOneArg(target.schema.ptr(), data.ptr()));
    return borrow(data.ptr());
}

}  // namespace

Result run_ladder(Validation& validation, SchemaTarget& target, handle data) {
    RecursionGuard guard;
    Frame& f = validation.f;
    if (is_subclass(target.schema_type, NATIVE_GLOBAL(f, "Any"))) return borrow(data.ptr());
    if (is_subclass(target.schema_type, NATIVE_GLOBAL(f, "Schema"))) return nested_rule(validation, target, data);
    if (is_builtin_schema(f, target.schema)) {
        if (is_instance(data, target.schema)) return borrow(data.ptr());
        return fail_at_path(validation, NATIVE_GLOBAL(f, "SchemaTypeError"), target, data);
    }
    if (is_subclass(target.schema_type, NATIVE_GLOBAL(f, "dict"))) return dict_rule(validation, target, data);
    if (PyCallable_Check(target.schema.ptr())) return callable_rule(validation, target, data);
    if (equal(target.schema, data)) return borrow(data.ptr());
    return fail_at_path(validation, NATIVE_GLOBAL(f, "SchemaValueError"), target, data);
}

namespace {

// `self.<name>(value)`, directly when it is still this module's own method `fn`.
object own_step(handle self, Name name, object fn, object (*impl)(Frame&, handle, handle), handle value) {
    object method = attr(self, name);
    if (is_bound_to(method, self, fn)) {
        Frame frame = frame_of(fn);
        return impl(frame, self, value);
    }
    return call(method, value);
}

}  // namespace

Result schema_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    RecursionGuard guard;
    object value = borrow(data.ptr());
    if (truth(top)) {
        const OwnObjects& own = f.state<State>().own;
        value = own_step(self, "apply_defaults", own.apply_defaults, &apply_defaults, value);
        value = own_step(self, "apply_fallback", own.apply_fallback, &apply_fallback, value);
    }
    Validation validation{f, locations, advanced};
    SchemaTarget target{self, attr(self, "schema"), attr(self, "schemaType")};
    return run_ladder(validation, target, value);
}

}  // namespace veltrane
