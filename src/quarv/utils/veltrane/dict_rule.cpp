// The dictionary rule of Schema.validate: keys matched literally or by key tests, missing keys
// gathered from every depth, unsupported keys reported last.
#include <cstddef>
#include <memory_resource>
#include <optional>

#include "veltrane.hpp"

namespace veltrane {

// ----- plans of schema dictionaries ------------------------------------------------------------------
//
// A dictionary schema is met once per data dictionary, and the rule asks the same of it each time:
// its keys in priority order, whether each is required, which rule each value takes, how each key
// tests a data key. A walk answers once per dictionary, for as long as the dictionary, the module
// namespace and the names the answers were found with stay unchanged.

namespace {

// How the key test of a schema key runs against a data key that the literal look-up did not find.
enum class KeyTest : uint8_t {
    general,           // through the rule ladder
    wildcard,          // an Any: the wildcard rule gives the key back
    literal,           // a plain value: it cannot equal a plain key that the look-up missed
    optional_literal,  // one of this module's Optional objects: its own validation, done here
};

constexpr int name_count = 12;
GlobalSlot name_slots[name_count] = {{"Any"},   {"Optional"}, {"Schema"}, {"list"}, {"set"},  {"int"},
                                     {"float"}, {"str"},      {"tuple"},  {"chr"},  {"bool"}, {"dict"}};

}  // namespace

struct DictPlan {
    object schema;  // held: the address names this dictionary for the whole walk
    uint64_t version = 0;
    uint64_t globals_version = 0;
    object builtins;  // the built-ins the names were looked up in
    uint64_t builtins_version = 0;
    object names[name_count];  // held, so that a look-up giving the same address gives the same object
    std::vector<object> keys;  // in priority order
    std::vector<object> values;
    std::vector<Rule> rules;  // unknown where the rule must be found at each use
    // the wildcard and nested-schema rules, found from a schema object's class: with the class and its version tag
    std::vector<Rule> type_rules;
    std::vector<object> types;
    std::vector<unsigned int> type_versions;
    std::vector<KeyTest> tests;
    std::vector<uint8_t> required;
    size_t required_count = 0;
    object positions;  // key -> its position in `keys`

    // The rule of the i-th value, or unknown when it must be found now.
    Rule rule_at(size_t i) const {
        if (rules[i] != Rule::unknown || type_rules[i] == Rule::unknown) return rules[i];
        auto* type = reinterpret_cast<PyTypeObject*>(types[i].ptr());
        bool same = Py_TYPE(values[i].ptr()) == type && type_versions[i] != 0 &&
                    internals::type_version(type) == type_versions[i];
        return same ? type_rules[i] : Rule::unknown;
    }

    bool current(Frame& f) const {
        return internals::dict_version(schema.ptr()) == version &&
               internals::dict_version(f.globals().ptr()) == globals_version &&
               internals::dict_version(builtins.ptr()) == builtins_version;
    }
};

namespace {

std::shared_ptr<DictPlan> make_plan(Frame& f, handle schema, object (&names)[name_count]) {
    const OwnObjects& own = f.state<State>().own;
    auto plan = std::make_shared<DictPlan>();
    plan->schema = borrow(schema.ptr());
    plan->version = internals::dict_version(schema.ptr());
    plan->globals_version = internals::dict_version(f.globals().ptr());
    plan->builtins = attr(f.function(), "__builtins__");
    if (!PyDict_Check(plan->builtins.ptr())) return nullptr;
    plan->builtins_version = internals::dict_version(plan->builtins.ptr());
    for (int i = 0; i < name_count; ++i) plan->names[i] = names[i];
    std::vector<object> ranked[3];
    for_each_item(schema, [&](handle key, handle) { ranked[priority_of(f, key) - 1].push_back(borrow(key.ptr())); });
    plan->positions = new_dict();
    auto* optional_type = reinterpret_cast<PyTypeObject*>(own.Optional.ptr());
    for (int rank = 0; rank < 3; ++rank) {
        for (object& key : ranked[rank]) {
            object value = get_item(schema, key);
            object value_type = type_of(value);
            bool settled = false;
            Rule rule = plain_value(value) || Py_IS_TYPE(value.ptr(), &PyType_Type) || PyDict_CheckExact(value.ptr())
                            ? rule_of(f, value, value_type, &settled)
                            : Rule::unknown;
            Rule type_rule = Rule::unknown;
            auto* value_class = reinterpret_cast<PyTypeObject*>(value_type.ptr());
            if (rule == Rule::unknown && Py_IS_TYPE(value_type.ptr(), &PyType_Type) &&
                internals::type_version(value_class) != 0) {
                bool by_type = false;
                Rule found = rule_of(f, value, value_type, nullptr, &by_type);
                if (by_type) type_rule = found;
            }
            KeyTest test = KeyTest::general;
            if (rank == 2) {
                test = KeyTest::wildcard;
            } else if (Py_TYPE(key.ptr()) == optional_type) {
                test = KeyTest::optional_literal;
            } else if (plain_value(key)) {
                bool key_settled = false;
                if (rule_of(f, key, type_of(key), &key_settled) == Rule::literal && key_settled)
                    test = KeyTest::literal;
            }
            bool required = !PyType_IsSubtype(Py_TYPE(key.ptr()), optional_type);
            check(PyDict_SetItem(plan->positions.ptr(), key.ptr(),
                                 integer(static_cast<long long>(plan->keys.size())).ptr()));
            plan->keys.push_back(std::move(key));
            plan->values.push_back(std::move(value));
            plan->rules.push_back(settled ? rule : Rule::unknown);
            plan->type_rules.push_back(type_rule);
            plan->type_versions.push_back(internals::type_version(value_class));
            plan->types.push_back(std::move(value_type));
            plan->tests.push_back(test);
            plan->required.push_back(required);
            plan->required_count += required;
        }
    }
    return plan;
}

}  // namespace

WalkMemo::WalkMemo() = default;
WalkMemo::~WalkMemo() = default;

std::shared_ptr<DictPlan> WalkMemo::plan(Frame& f, handle schema) {
    if (!PyDict_CheckExact(schema.ptr())) return nullptr;
    std::shared_ptr<DictPlan>& entry = plans_[schema.ptr()];
    // an unchanged module namespace and built-ins give the names the plan was made with
    if (entry && entry->current(f)) return schema_class_usable(f, entry->names[2]) ? entry : nullptr;
    const OwnObjects& own = f.state<State>().own;
    object names[name_count];
    for (int i = 0; i < name_count; ++i) names[i] = f.global(name_slots[i]);
    // the answers rest on the module's own wildcard, optional and schema classes
    if (names[0].ptr() != own.Any.ptr() || names[1].ptr() != own.Optional.ptr()) return nullptr;
    if (!schema_class_usable(f, names[2])) return nullptr;
    entry.reset();
    entry = make_plan(f, schema, names);
    return entry;
}

// ----- the rule ---------------------------------------------------------------------------------------

namespace {

object keys_of(handle mapping) {
    if (PyDict_CheckExact(mapping.ptr())) return steal(PyDict_Keys(mapping.ptr()));
    return steal(PySequence_List(call_method(mapping, "keys").ptr()));
}

Py_ssize_t size_of(handle obj) { return check_value(PyObject_Size(obj.ptr())); }

// `sorted(keys, key=Schema.priority)` of a new list of keys, kept where no Python code can change it
// while the priorities and the validations that follow run.
std::vector<object> by_priority(Frame& f, handle keys) {
    std::vector<object> ordered;
    object cls = NATIVE_GLOBAL(f, "Schema");
    if (!priority_untouched(f, cls)) {
        object priority = attr(cls, "priority");
        for_each(call_kw(NATIVE_GLOBAL(f, "sorted"), {keys}, {{"key", priority}}),
                 [&](handle key) { ordered.push_back(borrow(key.ptr())); });
        return ordered;
    }
    std::vector<object> ranked[3];
    for_each(keys, [&](handle key) { ranked[priority_of(f, key) - 1].push_back(borrow(key.ptr())); });
    ordered = std::move(ranked[0]);
    ordered.insert(ordered.end(), ranked[1].begin(), ranked[1].end());
    ordered.insert(ordered.end(), ranked[2].begin(), ranked[2].end());
    return ordered;
}

// The object's `missed` for one validation of a dictionary: a new list, and the one it replaced
// back afterwards, so no entry outlives the validation and a re-entered object keeps its own.
class FreshMissed {
public:
    explicit FreshMissed(handle self) : self_(self), list_(new_list()) {
        saved_ = optional_attr(self_, "missed");
        set_attr(self_, "missed", list_);
    }
    handle list() const { return list_; }
    void restore() {
        if (saved_) {
            set_attr(self_, "missed", saved_);
        } else {
            check(PyObject_DelAttr(self_.ptr(), intern("missed")));
        }
    }

private:
    handle self_;
    object list_;
    object saved_;
};

// What became of a value validated for a data key.
enum class Outcome {
    valid,        // kept among the valid keys
    lacked_keys,  // the keys it lacks were gathered into `missed`
    failed,       // some other error, pending
};

// What a key test made of a data key.
enum class Verdict { accepted, rejected, failed };

class DictRule {
public:
    DictRule(Walk& walk, SchemaTarget& target, handle data, handle missed)
        : walk_(walk), f_(walk.f), target_(target), data_(data), missed_(missed ? borrow(missed.ptr()) : object()) {}

    Result run() {
        object ordered_dict = NATIVE_GLOBAL(f_, "OrderedDict");
        valid_ = is_instance(data_, ordered_dict) ? call(ordered_dict) : new_dict();
        std::optional<PathRef> own_base;
        const PathRef& base = target_.self ? own_base.emplace(target_.path_now()) : *target_.ref;
        data_keys();
        coverage_.reserve(keys_.size());
        for (size_t i = 0; i < keys_.size(); ++i) {
            if (plan_ && !plan_->current(f_)) leave_plan();
            if (!one_key(keys_[i], value_at(i), base)) return Result::failure();
        }
        return finish();
    }

private:
    // The data keys in priority order. Plain keys all have priority 1 and keep the data's order.
    void data_keys() {
        plan_ = walk_.memo.plan(f_, target_.schema);
        std::pmr::vector<object>& keys = keys_;
        bool plain = true;
        if (PyDict_CheckExact(data_.ptr())) {
            keys.reserve(static_cast<size_t>(PyDict_GET_SIZE(data_.ptr())));
            values_.reserve(keys.capacity());
            // the walk's own references are kept: nothing is counted twice
            for_each_item(data_, [&](object& key, object& value) {
                plain = plain && plain_value(key);
                keys.push_back(std::move(key));
                values_.push_back(std::move(value));
            });
            data_version_ = internals::dict_version(data_.ptr());
        } else {
            for_each(keys_of(data_), [&](handle key) {
                plain = plain && plain_value(key);
                keys.push_back(borrow(key.ptr()));
            });
        }
        if (plan_ && plain) {
            covered_.assign(plan_->keys.size(), 0);
            const OwnObjects& own = f_.state<State>().own;
            quiet_rejections_ = NATIVE_GLOBAL(f_, "SchemaValueError").ptr() == own.SchemaValueError.ptr() &&
                                NATIVE_GLOBAL(f_, "SchemaError").ptr() == own.SchemaError.ptr() &&
                                NATIVE_GLOBAL(f_, "SchemaMissingKeyError").ptr() == own.SchemaMissingKeyError.ptr();
            return;
        }
        plan_.reset();
        values_.clear();  // the keys are taken in another order
        object listed = steal(PyList_New(0));
        for (const object& key : keys) append(listed, key);
        std::vector<object> ordered = by_priority(f_, listed);
        keys.assign(ordered.begin(), ordered.end());
    }

    void leave_plan() {
        plan_.reset();
        stale_ = true;
    }

    // `data[key]` for the i-th key: the value read with the keys while the dictionary is unchanged.
    object value_at(size_t i) {
        if (i < values_.size() && internals::dict_version(data_.ptr()) == data_version_) return values_[i];
        values_.clear();
        return object();
    }

    // False with the error pending when the key's validation failed.
    bool one_key(handle key, object value, const PathRef& base) {
        if (!value) value = get_item(data_, key);
        if (plan_) return planned_key(key, value, base);
        if (contains(target_.schema, key)) {
            object schema_value = get_item(target_.schema, key);
            return value_rule(schema_value, Rule::unknown, key, value, base, key, key, -1) != Outcome::failed;
        }
        return key_tests(key, value, base);
    }

    // Validates the value of the data key `key` against `schema_value`: the key `covered` counts as
    // covered unless the validation failed (`position` is its place in the plan, or -1), and a valid
    // value is kept under `valid_key`.
    Outcome value_rule(handle schema_value, Rule rule, handle key, handle value, const PathRef& base, handle covered,
                       handle valid_key, Py_ssize_t position) {
        Result result = attempt([&] {
            PathRef value_path(base, key);
            return validate_with(walk_, schema_value, value_path, value, handle(Py_False), rule);
        });
        if (result) {
            cover(covered, position);
            set_item(valid_, valid_key, result.get());
            return Outcome::valid;
        }
        Caught error;
        if (!error.matches(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"))) {
            error.restore();
            return Outcome::failed;
        }
        convert_missing(error);
        cover(covered, position);
        return Outcome::lacked_keys;
    }

    void cover(handle key, Py_ssize_t position) {
        coverage_.push_back(borrow(key.ptr()));
        if (!plan_ || position < 0) return;
        auto i = static_cast<size_t>(position);
        if (!plan_->required[i]) {
            // only a key of a class with an equality of its own can make a plain key match an
            // optional one: let the sets decide
            if (key.ptr() != plan_->keys[i].ptr()) stale_ = true;
            return;
        }
        if (!covered_[i]) {
            covered_[i] = 1;
            ++covered_count_;
        }
    }

    // The schema keys, in priority order, validate the data key until one accepts it and its value
    // is valid; a key that none accepts stays unsupported. False with the error pending on failure.
    bool key_tests(handle key, handle value, const PathRef& base) {
        for (const object& schema_key : by_priority(f_, keys_of(target_.schema))) {
            object schema_value = get_item(target_.schema, schema_key);
            object accepted;
            Verdict verdict = general_test(schema_key, key, base, accepted);
            if (verdict == Verdict::failed) return false;
            if (verdict == Verdict::rejected) continue;
            Outcome outcome = value_rule(schema_value, Rule::unknown, key, value, base, schema_key, accepted, -1);
            if (outcome != Outcome::lacked_keys) return outcome == Outcome::valid;
        }
        return true;
    }

    // The same with the dictionary's plan: a literal key found by one look-up, the key tests whose
    // outcome is known without running them skipped.
    bool planned_key(handle key, handle value, const PathRef& base) {
        // checked: no call into Python between taking the position and reading it (the plan's own dict)
        PyObject* found = PyDict_GetItemWithError(plan_->positions.ptr(), key.ptr());
        if (!found && PyErr_Occurred()) throw_error();
        if (found) {
            Py_ssize_t i = PyLong_AsSsize_t(found);
            return value_rule(plan_->values[i], plan_->rule_at(i), key, value, base, key, key, i) != Outcome::failed;
        }
        std::shared_ptr<DictPlan> plan = plan_;  // user code may make the dictionary change meanwhile
        for (size_t j = 0; j < plan->keys.size(); ++j) {
            bool current = plan_ == plan && plan->current(f_);
            if (!current && plan_) leave_plan();
            const object& schema_key = plan->keys[j];
            object schema_value = current ? plan->values[j] : get_item(target_.schema, schema_key);
            object accepted;
            Verdict verdict =
                current ? planned_test(j, key, base, accepted) : general_test(schema_key, key, base, accepted);
            if (verdict == Verdict::failed) return false;
            if (verdict == Verdict::rejected) continue;
            Rule rule = current ? plan->rule_at(j) : Rule::unknown;
            Py_ssize_t position = current ? static_cast<Py_ssize_t>(j) : -1;
            Outcome outcome = value_rule(schema_value, rule, key, value, base, schema_key, accepted, position);
            if (outcome != Outcome::lacked_keys) return outcome == Outcome::valid;
        }
        return true;
    }

    Verdict planned_test(size_t j, handle key, const PathRef& base, object& accepted) {
        const object& schema_key = plan_->keys[j];
        switch (plan_->tests[j]) {
            case KeyTest::wildcard:
                accepted = borrow(key.ptr());
                return Verdict::accepted;
            case KeyTest::literal:
                // the literal rule `schema_key == key`, false since the look-up by hash missed it; the
                // SchemaValueError it raises would be dropped unseen
                if (quiet_rejections_) return Verdict::rejected;
                break;
            case KeyTest::optional_literal:
                return optional_test(schema_key, key, base, accepted);
            default:
                break;
        }
        return general_test(schema_key, key, base, accepted);
    }

    // The key test of one of this module's Optional objects: the wrapper's nested-schema rule gives it a copy of
    // the wrapper's path and runs its validation of the key, which compares a plain literal here.
    Verdict optional_test(handle schema_key, handle key, const PathRef& base, object& accepted) {
        if (class_function(schema_key, "validate") != f_.state<State>().own.schema_validate.ptr())
            return general_test(schema_key, key, base, accepted);
        PathRef key_path(base, handle());
        set_attr(schema_key, "path", key_path.fresh());
        object inner = attr(schema_key, "schema");
        object inner_type = attr(schema_key, "schemaType");
        bool settled = false;
        if (!quiet_rejections_ || !plain_value(inner) || rule_of(f_, inner, inner_type, &settled) != Rule::literal ||
            !settled) {
            return judged(attempt([&] { return validate_obj(walk_, schema_key, key, handle(Py_False)); }), accepted);
        }
        if (!equal(inner, key)) return Verdict::rejected;
        accepted = borrow(key.ptr());
        return Verdict::accepted;
    }

    Verdict general_test(handle schema_key, handle key, const PathRef& base, object& accepted) {
        return judged(attempt([&] {
                          PathRef key_path(base, handle());
                          return validate_with(walk_, schema_key, key_path, key, handle(Py_False));
                      }),
                      accepted);
    }

    Verdict judged(Result result, object& accepted) {
        if (result) {
            accepted = std::move(result).take();
            return Verdict::accepted;
        }
        Caught error;
        if (error.matches(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"))) {
            convert_missing(error);
            return Verdict::rejected;
        }
        if (error.matches(NATIVE_GLOBAL(f_, "SchemaError"))) return Verdict::rejected;
        error.restore();
        return Verdict::failed;
    }

    handle missed() {
        if (!missed_) missed_ = new_list();
        return missed_;
    }

    // Every missing key the error reports becomes an entry of `missed`: the key path of the
    // dictionary that lacks it, followed by its name.
    void convert_missing(Caught& error) {
        Handling handling(error.value());
        object names = attr(error.value(), "keys");
        object paths = attr(error.value(), "path");
        Py_ssize_t path_count = size_of(paths);
        Py_ssize_t position = 0;
        handle into = missed();
        for_each(names, [&](handle name) {
            if (path_count == 0) return;
            object path = steal(PySequence_GetItem(paths.ptr(), position++ % path_count));
            object entry = PyList_CheckExact(path.ptr()) ? steal(PyList_GetSlice(path.ptr(), 0, PY_SSIZE_T_MAX))
                                                         : steal(PySequence_List(path.ptr()));
            check(PyList_Append(entry.ptr(), name.ptr()));
            check(PyList_Append(into.ptr(), entry.ptr()));
        });
    }

    object without_optional(handle keys) {
        object optional = NATIVE_GLOBAL(f_, "Optional");
        object result = steal(PySet_New(nullptr));
        for_each(keys, [&](handle key) {
            if (!is_subclass(type_of(key), optional)) check(PySet_Add(result.ptr(), key.ptr()));
        });
        return result;
    }

    Result missing_keys(handle coverage, handle required, bool differ) {
        object names = new_list();
        object paths = new_list();
        if (differ) {
            object absent = steal(PyNumber_Subtract(required.ptr(), coverage.ptr()));
            object path = target_.path_now();
            for_each(absent, [&](handle key) {
                append(names, str_of(key));
                append(paths, path);
            });
        }
        if (missed_) {
            for_each(missed_, [&](handle entry) {
                append(names, call_method(entry, "pop"));
                append(paths, entry);
            });
        }
        return raised(
            call_kw(NATIVE_GLOBAL(f_, "SchemaMissingKeyError"), {paths, names}, {{"locations", walk_.locations}}));
    }

    Result finish() {
        bool lacking = missed_ && truth(missed_);
        bool settled = plan_ && !stale_ && plan_->current(f_);
        if (!settled || lacking || covered_count_ != plan_->required_count) {
            object covered = steal(PySet_New(nullptr));
            for (const object& key : coverage_) check(PySet_Add(covered.ptr(), key.ptr()));
            object coverage = without_optional(covered);
            object required = without_optional(keys_of(target_.schema));
            bool differ = not_equal(coverage, required);
            if (lacking || differ) return missing_keys(coverage, required, differ);
        }
        if (size_of(valid_) < size_of(data_)) {
            object data_keys = steal(PySet_New(keys_of(data_).ptr()));
            object valid_keys = steal(PySet_New(keys_of(valid_).ptr()));
            object wrong = steal(PyNumber_Subtract(data_keys.ptr(), valid_keys.ptr()));
            object path = target_.path_now();
            return raised(call_kw(NATIVE_GLOBAL(f_, "SchemaUnsupportedKeyError"), {path, wrong},
                                  {{"locations", walk_.locations}}));
        }
        return valid_;
    }

    // the rule's own lists live in this buffer on the stack for dictionaries of ordinary size
    alignas(std::max_align_t) std::byte buffer_[768];
    std::pmr::monotonic_buffer_resource pool_{buffer_, sizeof buffer_};
    Walk& walk_;
    Frame& f_;
    SchemaTarget& target_;
    handle data_;
    object missed_;  // made when the first missing key is gathered, unless the object's own
    object valid_;
    std::pmr::vector<object> keys_{&pool_};    // the data keys in the order they are taken
    std::pmr::vector<object> values_{&pool_};  // the data's values in the order of its keys, while it is unchanged
    uint64_t data_version_ = 0;
    std::pmr::vector<object> coverage_{&pool_};  // the matched keys, in order
    std::shared_ptr<DictPlan> plan_;             // held: a nested validation may replace the walk's plan
    std::pmr::vector<uint8_t> covered_{&pool_};  // the plan's required keys matched so far
    size_t covered_count_ = 0;
    bool stale_ = false;  // the plan no longer answers for the whole dictionary
    bool quiet_rejections_ = false;
};

}  // namespace

Result dict_rule(Walk& walk, SchemaTarget& target, handle data) {
    if (!is_instance(data, NATIVE_GLOBAL(walk.f, "dict"))) {
        object path = target.path_now();
        return raised(call_kw(NATIVE_GLOBAL(walk.f, "SchemaTypeError"), {path, target.schema, data},
                              {{"locations", walk.locations}}));
    }
    if (!target.self) return DictRule(walk, target, data, handle()).run();
    FreshMissed missed(target.self);
    return try_finally([&] { return DictRule(walk, target, data, missed.list()).run(); }, [&] { missed.restore(); });
}

}  // namespace veltrane
