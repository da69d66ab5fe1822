// Schema.validate: the top-level step and the rule ladder, the wrappers it validates through, and
// nested validations handed to this module's own methods within one walk.
#include "veltrane.hpp"

namespace veltrane {

// ----- key paths of unseen wrappers ------------------------------------------------------------------

namespace {

object list_copy(handle list) {
    if (PyList_CheckExact(list.ptr())) return steal(PyList_GetSlice(list.ptr(), 0, PY_SSIZE_T_MAX));
    return call_method(list, "copy");
}

bool plain_list(handle list) {
    if (!PyList_CheckExact(list.ptr())) return false;
    return for_each(list, [](handle element) { return plain_value(element); });
}

}  // namespace

PathRef::PathRef(handle list) : view_(borrow(list.ptr())), lazy_(PyList_CheckExact(list.ptr())) {}

PathRef::PathRef(const PathRef& parent, handle key) : parent_(&parent), key_(key), lazy_(parent.lazy_) {
    if (lazy_) return;
    // The enclosing path is not a plain list: build now, with the errors Python would raise now.
    object source = parent.get();
    argument_ = key ? extended(source, key) : source;
    own_ = own_copy(argument_);
}

object PathRef::get() const {
    if (view_) return view_;
    if (!own_) own_ = fresh();
    return own_;
}

object PathRef::fresh() const {
    if (view_) return own_copy(view_);
    if (own_) return own_copy(own_);
    object source = parent_->get();
    if (!PyList_CheckExact(source.ptr())) return key_ ? extended(source, key_) : own_copy(source);
    // one allocation of the final size: the parent's elements, then the key
    // checked: no call into Python between reading the exact list's size and copying its items
    Py_ssize_t size = PyList_GET_SIZE(source.ptr());
    object made = steal(PyList_New(size + (key_ ? 1 : 0)));
    // checked: no call into Python between taking each item and storing it in the new list
    for (Py_ssize_t i = 0; i < size; ++i) PyList_SET_ITEM(made.ptr(), i, Py_NewRef(PyList_GET_ITEM(source.ptr(), i)));
    if (key_) PyList_SET_ITEM(made.ptr(), size, Py_NewRef(key_.ptr()));
    return made;
}

object PathRef::argument() const {
    if (view_) return view_;
    if (argument_) return argument_;
    object source = parent_->get();
    return key_ ? extended(source, key_) : source;
}

bool PathRef::plain_elements() const {
    if (view_) return plain_list(view_);
    if (own_) return plain_list(own_);
    return (!key_ || plain_value(key_)) && parent_->plain_elements();
}

// ----- text form -----------------------------------------------------------------------------------------

object schema_text(handle cls, handle path, handle schema_type, handle schema) {
    object class_name = format_of(attr(cls, "__name__"));
    object parts = new_list();
    for_each(path, [&](handle element) { append(parts, str_of(element)); });
    object joined = steal(PyUnicode_Join(text(".").ptr(), parts.ptr()));
    object type_name = format_of(attr(schema_type, "__name__"));
    object type_text = steal(PyUnicode_FromFormat("(%U)", type_name.ptr()));
    object schema_part = format_of(schema);
    return steal(
        PyUnicode_FromFormat("%U %U %U %U", class_name.ptr(), joined.ptr(), type_text.ptr(), schema_part.ptr()));
}

// ----- nested validations ------------------------------------------------------------------------------

namespace {

using WalkFn = Result (*)(Walk&, handle, handle, handle);

// A validate method of this module's classes, run within the walk while `obj.validate` is still it.
struct OwnValidate {
    object OwnObjects::* fn;
    WalkFn walk;
};

const OwnValidate own_validates[] = {
    {&OwnObjects::schema_validate, &schema_walk},
    {&OwnObjects::default_validate, &default_walk},
    {&OwnObjects::use_validate, &use_walk},
    {&OwnObjects::listof_validate, &listof_walk},
    {&OwnObjects::or_validate, &or_walk},
    {&OwnObjects::and_validate, &and_walk},
    {&OwnObjects::pathaware_validate, &pathaware_walk},
};

}  // namespace

Result call_validate(Frame& f, handle method, handle data, handle top, handle locations, handle advanced) {
    PyObject* args[] = {nullptr, data.ptr(), top.ptr(), locations.ptr(), advanced.ptr()};
    return Result::of(PyObject_Vectorcall(method.ptr(), args + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                          f.state<State>().validate_keywords.ptr()));
}

Result validate_obj(Walk& walk, handle obj, handle data, handle top) {
    if (PyObject* fn = class_function(obj, "validate")) {
        const OwnObjects& own = walk.f.state<State>().own;
        for (const OwnValidate& candidate : own_validates) {
            if (fn == (own.*candidate.fn).ptr()) return candidate.walk(walk, obj, data, top);
        }
    }
    object method = attr(obj, "validate");
    return call_validate(walk.f, method, data, top, walk.locations, walk.advanced);
}

bool wrappers_unseen(Walk& walk) { return schema_class_untouched(walk.f, NATIVE_GLOBAL(walk.f, "Schema")); }

Result validate_with(Walk& walk, handle sub, const PathRef& path, handle data, handle top, Rule rule) {
    object cls = NATIVE_GLOBAL(walk.f, "Schema");
    if (!truth(top) && schema_class_untouched(walk.f, cls)) {
        object sub_type = type_of(sub);
        SchemaTarget target{handle(), sub, sub_type, handle(), &path, rule};
        return run_ladder(walk, target, data);
    }
    object wrapper = call(cls, sub, path.argument());
    return validate_obj(walk, wrapper, data, top);
}

Wrappers::Wrappers(Walk& walk, handle subs, handle path, handle top) : walk_(walk), top_(top), view_(path) {
    object cls = NATIVE_GLOBAL(walk.f, "Schema");
    unseen_ = !truth(top) && schema_class_untouched(walk.f, cls);
    for_each(subs, [&](handle sub) {
        subs_.push_back(borrow(sub.ptr()));
        paths_.push_back(std::make_unique<PathRef>(view_, handle()));
        if (!unseen_) real_.push_back(call(cls, sub, paths_.back()->argument()));
    });
}

Result Wrappers::validate(size_t i, handle value) {
    if (!unseen_) return validate_obj(walk_, real_[i], value, top_);
    object sub_type = type_of(subs_[i]);
    SchemaTarget target{handle(), subs_[i], sub_type, handle(), paths_[i].get()};
    return run_ladder(walk_, target, value);
}

object Wrappers::text(size_t i) const {
    if (!unseen_) return str_of(real_[i]);
    object cls = walk_.f.state<State>().own.Schema;
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

Result fail_at_path(Walk& walk, handle error_class, const SchemaTarget& target, handle data) {
    object path = target.path_now();
    return raised(call_kw(error_class, {path, target.schema, data}, {{"locations", walk.locations}}));
}

// Compared with a class or a built-in function, these compare by identity: no user code runs.
bool identity_compared(handle obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    return type == &PyType_Type || type == &PyDict_Type || plain_value(obj);
}
bool plain_builtin(handle obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    return type == &PyType_Type || type == &PyCFunction_Type;
}

GlobalSlot builtin_slots[9] = {{"list"}, {"set"}, {"int"}, {"float"}, {"str"}, {"tuple"}, {"chr"}, {"bool"}, {"dict"}};

// The built-in type rule: the schema equals one of the nine built-ins, compared with `==` in order; `settled` is
// cleared when a comparison could have run user code.
bool is_builtin_schema(Frame& f, handle schema, bool& settled) {
    bool by_identity = identity_compared(schema);
    settled = settled && by_identity;
    for (GlobalSlot& slot : builtin_slots) {
        object builtin = f.global(slot);
        if (by_identity && plain_builtin(builtin)) {
            if (schema.ptr() == builtin.ptr()) return true;
            continue;
        }
        settled = false;
        if (equal(schema, builtin)) return true;
    }
    return false;
}

// `issubclass(derived, cls)`; `settled` is cleared unless that is a plain test of two classes.
bool subclass_test(handle derived, handle cls, bool& settled) {
    settled = settled && Py_IS_TYPE(cls.ptr(), &PyType_Type) && PyType_Check(derived.ptr());
    return is_subclass(derived, cls);
}

Result nested_rule(Walk& walk, SchemaTarget& target, handle data) {
    object path = target.self ? list_copy(target.path_now()) : target.ref->fresh();
    set_attr(target.schema, "path", path);
    return validate_obj(walk, target.schema, data, handle(Py_False));
}

Result callable_rule(Walk& walk, SchemaTarget& target, handle data) {
    if (!Result::of(PyObject_CallOneArg(target.schema.ptr(), data.ptr()))) {
        Caught raised;
        if (!raised.matches(PyExc_Exception)) return pass_on(raised);
        Handling handling(raised.value());
        object path = target.path_now();
        object error = call(NATIVE_GLOBAL(walk.f, "SchemaClassError"), path, target.schema, data, raised.value());
        raise_from(error, raised.value());
    }
    if (truth(walk.advanced)) return Result::of(PyObject_CallOneArg(target.schema.ptr(), data.ptr()));
    return borrow(data.ptr());
}

}  // namespace

Rule rule_of(Frame& f, handle schema, handle schema_type, bool* settled_out, bool* by_type) {
    bool settled = true;
    Rule rule = Rule::literal;
    if (subclass_test(schema_type, NATIVE_GLOBAL(f, "Any"), settled)) {
        rule = Rule::wildcard;
    } else if (subclass_test(schema_type, NATIVE_GLOBAL(f, "Schema"), settled)) {
        rule = Rule::nested;
    }
    bool by_class = rule != Rule::literal;
    if (by_type) *by_type = settled && by_class && schema_type.ptr() == type_of(schema).ptr();
    if (by_class) {
        // the wildcard and nested-schema rules come before the rest
    } else if (is_builtin_schema(f, schema, settled)) {
        rule = Rule::builtin_type;
    } else if (subclass_test(schema_type, NATIVE_GLOBAL(f, "dict"), settled)) {
        rule = Rule::dictionary;
    } else if (PyCallable_Check(schema.ptr())) {
        rule = Rule::callable;
    }
    // the answer stays only for schemas whose type and rules cannot change under the walk
    if (settled_out) *settled_out = settled && identity_compared(schema) && schema_type.ptr() == type_of(schema).ptr();
    return rule;
}

Result run_ladder(Walk& walk, SchemaTarget& target, handle data) {
    RecursionGuard guard;
    Rule rule = target.rule != Rule::unknown ? target.rule : rule_of(walk.f, target.schema, target.schema_type);
    switch (rule) {
        case Rule::wildcard:
            return borrow(data.ptr());
        case Rule::nested:
            return nested_rule(walk, target, data);
        case Rule::builtin_type:
            if (is_instance(data, target.schema)) return borrow(data.ptr());
            return fail_at_path(walk, NATIVE_GLOBAL(walk.f, "SchemaTypeError"), target, data);
        case Rule::dictionary:
            return dict_rule(walk, target, data);
        case Rule::callable:
            return callable_rule(walk, target, data);
        default:
            if (equal(target.schema, data)) return borrow(data.ptr());
            return fail_at_path(walk, NATIVE_GLOBAL(walk.f, "SchemaValueError"), target, data);
    }
}

namespace {

// `self.<name>(value)`, directly when it is still this module's own method `fn`.
object own_step(handle self, Name name, handle fn, object (*impl)(Frame&, handle, handle), handle value) {
    if (class_function(self, name) == fn.ptr()) {
        Frame frame = frame_of(fn);
        return impl(frame, self, value);
    }
    return call(attr(self, name), value);
}

}  // namespace

Result schema_walk(Walk& walk, handle self, handle data, handle top) {
    RecursionGuard guard;
    object value = borrow(data.ptr());
    if (truth(top)) {
        const OwnObjects& own = walk.f.state<State>().own;
        value = own_step(self, "apply_defaults", own.apply_defaults, &apply_defaults, value);
        value = own_step(self, "apply_fallback", own.apply_fallback, &apply_fallback, value);
    }
    object schema = attr(self, "schema");
    object schema_type = attr(self, "schemaType");
    // The path this level validates at: a schema object nested inside itself is given a new path by
    // the levels below, and must not report with theirs.
    object path = optional_attr(self, "path");
    SchemaTarget target{self, schema, schema_type, path};
    return run_ladder(walk, target, value);
}

Result schema_validate(Frame& f, handle self, handle data, handle top, handle locations, handle advanced) {
    WalkMemo memo;
    Walk walk{f, locations, advanced, memo};
    return schema_walk(walk, self, data, top);
}

}  // namespace veltrane
