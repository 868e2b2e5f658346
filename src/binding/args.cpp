#include "args.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "convert.hpp"

namespace kestrine::binding {
namespace {

using Names = std::span<const std::string_view>;

// Length first, then bytes: the declared names are few and short.
bool same_name(std::string_view declared, std::string_view key) {
    return declared.size() == key.size() && std::equal(key.begin(), key.end(), declared.begin());
}

std::optional<std::size_t> find_name(Names names, std::string_view key) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (same_name(names[i], key))
            return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> find_keyword_only(std::span<const KeywordOnlyParameter> params,
                                             std::string_view key) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (same_name(params[i].name, key))
            return i;
    }
    return std::nullopt;
}

// The interned names, or an empty span if they cannot be made (the byte
// comparison then does all the work).
std::span<std::atomic<PyObject *>> interned_names(const FunctionDescription &desc) {
    InternedNames *cache = desc.interned;
    if (!cache)
        return {};
    if (std::size_t ready = cache->ready.load(std::memory_order_acquire)) [[likely]]
        return std::span(cache->names).first(ready);
    const std::size_t npos = desc.positional_names.size();
    const std::size_t count = std::min(desc.slot_count(), InternedNames::kMax);
    for (std::size_t i = 0; i < count; ++i) {
        if (cache->names[i].load(std::memory_order_relaxed))
            continue;
        const std::string_view name =
            i < npos ? desc.positional_names[i] : desc.keyword_only[i - npos].name;
        PyObject *str = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (!str) {
            PyErr_Clear();
            return {};
        }
        PyUnicode_InternInPlace(&str);
        PyObject *expected = nullptr;
        if (!cache->names[i].compare_exchange_strong(expected, str))
            Py_DECREF(str);
    }
    cache->ready.store(count, std::memory_order_release);
    return std::span(cache->names).first(count);
}

// Binds keyword arguments one at a time, in call order.
class KeywordBinder {
public:
    KeywordBinder(const FunctionDescription &desc, std::span<PyObject *> slots)
        : desc_(desc), slots_(slots), interned_(interned_names(desc)) {}

    Status bind(PyObject *key, PyObject *value) {
        const std::size_t npos = desc_.positional_names.size();
        for (std::size_t i = 0; i < interned_.size(); ++i) {
            if (interned_[i].load(std::memory_order_relaxed) == key) [[likely]] {
                const std::string_view name =
                    i < npos ? desc_.positional_names[i] : desc_.keyword_only[i - npos].name;
                return i < npos ? bind_positional(i, name, value) : fill(slots_[i], value, name);
            }
        }
        Result<std::string_view> text = to_str(key);
        if (!text) {
            // A key without a UTF-8 form can match nothing anyway.
            return err(unexpected_keyword_argument(desc_, key));
        }
        if (auto i = find_keyword_only(desc_.keyword_only, *text))
            return fill(slots_[npos + *i], value, *text);
        std::optional<std::size_t> j;
        if (npos != 0)
            j = find_name(desc_.positional_names, *text);
        if (!j)
            return err(unexpected_keyword_argument(desc_, key));
        return bind_positional(*j, *text, value);
    }

    Status finish() {
        if (!positional_only_passed_.empty())
            return err(positional_only_keyword_arguments(desc_, positional_only_passed_));
        return {};
    }

private:
    Status bind_positional(std::size_t j, std::string_view key, PyObject *value) {
        if (j < desc_.positional_only_count) {
            positional_only_passed_.push_back(key);
            return {};
        }
        return fill(slots_[j], value, key);
    }

    // Puts `value` in `slot`, refusing a second value for the same parameter.
    Status fill(PyObject *&slot, PyObject *value, std::string_view key) {
        if (slot)
            return err(multiple_values_for_argument(desc_, key));
        slot = value;
        return {};
    }

    const FunctionDescription &desc_;
    std::span<PyObject *> slots_;
    std::span<std::atomic<PyObject *>> interned_;
    std::vector<std::string_view> positional_only_passed_;  // allocated only if used
};

Status bind_positional_args(const FunctionDescription &desc, PyObject *const *args,
                            std::size_t nargs, std::span<PyObject *> slots) {
    const std::size_t npos = desc.positional_names.size();
    for (std::size_t i = 0; i < std::min(nargs, npos); ++i)
        slots[i] = args[i];
    if (nargs > npos)
        return err(too_many_positional_arguments(desc, nargs));
    return {};
}

Status check_required(const FunctionDescription &desc, std::size_t nargs,
                      std::span<PyObject *> slots) {
    const std::size_t npos = desc.positional_names.size();
    for (std::size_t i = nargs; i < desc.required_positional_count; ++i) {
        if (!slots[i])
            return err(missing_required_positional_arguments(desc, slots));
    }
    for (std::size_t i = 0; i < desc.keyword_only.size(); ++i) {
        if (desc.keyword_only[i].required && !slots[npos + i])
            return err(missing_required_keyword_arguments(desc, slots.subspan(npos)));
    }
    return {};
}

}  // namespace

std::string FunctionDescription::display_name() const {
    if (class_name)
        return std::string(class_name) + "." + function_name + "()";
    return std::string(function_name) + "()";
}

Status extract_arguments_tuple_dict(const FunctionDescription &desc, PyObject *args,
                                    PyObject *kwargs, std::span<PyObject *> slots) {
    const auto nargs = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    if (Status s = bind_positional_args(desc, reinterpret_cast<PyTupleObject *>(args)->ob_item, nargs, slots); !s)
        return s;
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        KeywordBinder binder(desc, slots);
        Py_ssize_t pos = 0;
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (Status s = binder.bind(key, value); !s)
                return s;
        }
        if (Status s = binder.finish(); !s)
            return s;
    }
    return check_required(desc, nargs, slots);
}

Status extract_arguments_fastcall_slow(const FunctionDescription &desc, PyObject *const *args,
                                       std::size_t nargs, PyObject *kwnames,
                                       std::span<PyObject *> slots) {
    if (Status s = bind_positional_args(desc, args, nargs, slots); !s)
        return s;
    if (kwnames && PyTuple_GET_SIZE(kwnames) != 0) {
        KeywordBinder binder(desc, slots);
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (Status s = binder.bind(PyTuple_GET_ITEM(kwnames, i), args[nargs + i]); !s)
                return s;
        }
        if (Status s = binder.finish(); !s)
            return s;
    }
    return check_required(desc, nargs, slots);
}

PyErr too_many_positional_arguments(const FunctionDescription &desc, std::size_t given) {
    const std::size_t npos = desc.positional_names.size();
    std::string msg = desc.display_name() + " takes ";
    if (desc.required_positional_count != npos)
        msg += "from " + std::to_string(desc.required_positional_count) + " to ";
    msg += std::to_string(npos) + " positional arguments but " + std::to_string(given) +
           (given == 1 ? " was" : " were") + " given";
    return type_error(std::move(msg));
}

PyErr unexpected_keyword_argument(const FunctionDescription &desc, PyObject *key) {
    Result<std::string> shown = display_text(key);
    if (!shown) [[unlikely]]
        return std::move(shown.error());
    return type_error(desc.display_name() + " got an unexpected keyword argument '" + *shown + "'");
}

PyErr multiple_values_for_argument(const FunctionDescription &desc, std::string_view key) {
    return type_error(desc.display_name() + " got multiple values for argument '" +
                      std::string(key) + "'");
}

PyErr positional_only_keyword_arguments(const FunctionDescription &desc, Names names) {
    std::string msg = desc.display_name() +
                      " got some positional-only arguments passed as keyword arguments: ";
    push_parameter_list(msg, names);
    return type_error(std::move(msg));
}

PyErr missing_required_positional_arguments(const FunctionDescription &desc,
                                            std::span<PyObject *const> slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < desc.required_positional_count; ++i) {
        if (!slots[i])
            missing.push_back(desc.positional_names[i]);
    }
    return missing_required_arguments(desc, "positional", missing);
}

PyErr missing_required_keyword_arguments(const FunctionDescription &desc,
                                         std::span<PyObject *const> keyword_slots) {
    std::vector<std::string_view> missing;
    for (std::size_t i = 0; i < desc.keyword_only.size(); ++i) {
        if (desc.keyword_only[i].required && !keyword_slots[i])
            missing.push_back(desc.keyword_only[i].name);
    }
    return missing_required_arguments(desc, "keyword", missing);
}

PyErr missing_required_arguments(const FunctionDescription &desc, std::string_view kind,
                                 Names names) {
    std::string msg = desc.display_name() + " missing " + std::to_string(names.size()) + " required " +
                      std::string(kind) + (names.size() == 1 ? " argument: " : " arguments: ");
    push_parameter_list(msg, names);
    return type_error(std::move(msg));
}

void push_parameter_list(std::string &out, Names names) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2)
                out += ',';
            out += (i + 1 == names.size()) ? " and " : " ";
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
}

namespace {

// str() of `obj`, lossily decoded; nothing if it fails with an ordinary
// exception, which then goes to sys.unraisablehook. An interrupt or a
// signal handler's exception goes to the caller instead.
Result<std::optional<std::string>> str_or_report(PyObject *obj) {
    std::optional<PyErr> failure;
    if (Owned text = Owned::steal(PyObject_Str(obj))) {
        Result<std::string> lossy = to_string_lossy(text.get());
        if (lossy)
            return std::optional<std::string>(std::move(*lossy));
        failure.emplace(std::move(lossy.error()));
    } else {
        failure.emplace(PyErr::fetch());
    }
    if (for_the_caller(failure->make_normalized()))
        return err(std::move(*failure));
    std::move(*failure).write_unraisable(obj);
    return std::optional<std::string>();
}

}  // namespace

// The type's name is shown by the same rule, but only once: a name whose
// own str() fails (a str subclass can arrange that) gets the fixed text.
//
// str() runs any code, which may drop the caller's only reference to `obj`
// (a keyword's name is borrowed from the call's dict, which that code can
// clear): it is held here until the report and the type name are done.
Result<std::string> display_text(PyObject *borrowed) {
    const Owned held = Owned::borrow(borrowed);
    PyObject *obj = held.get();
    Result<std::optional<std::string>> text = str_or_report(obj);
    if (!text)
        return err(std::move(text.error()));
    if (*text)
        return std::move(**text);
    Owned type_name = Owned::steal(PyType_GetName(Py_TYPE(obj)));
    if (!type_name) {
        PyErr_Clear();
        return kUnprintable;
    }
    Result<std::optional<std::string>> name = str_or_report(type_name.get());
    if (!name)
        return err(std::move(name.error()));
    return *name ? "<unprintable " + **name + " object>" : std::string(kUnprintable);
}

PyErr argument_extraction_error(std::string_view name, PyErr error) {
    if (!error.is_exactly(PyExc_TypeError))
        return error;
    PyObject *inner = error.make_normalized();
    Result<std::string> shown = display_text(inner);
    if (!shown) [[unlikely]]
        return std::move(shown.error());
    // Raised and taken back at once, as normalising it would: the cause
    // needs the instance, and an error only this call holds has no other
    // thread's normalisation to wait for.
    type_error("argument '" + std::string(name) + "': " + *shown).restore();
    PyErr relabelled = PyErr::fetch();
    std::optional<PyErr> cause;
    if (Owned inner_cause = Owned::steal(PyException_GetCause(inner)))
        cause.emplace(PyErr::from_value(std::move(inner_cause)));
    relabelled.set_cause(std::move(cause));
    return relabelled;
}

}  // namespace kestrine::binding
