#include "args.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "convert.hpp"

namespace kestrine::binding {
namespace {

using Names = std::span<const std::string_view>;

// Length first, then bytes: the declared names are few and short.
std::optional<std::size_t> find_name(Names names, std::string_view key) {
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i].size() == key.size() && std::equal(key.begin(), key.end(), names[i].begin()))
            return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> find_keyword_only(std::span<const KeywordOnlyParameter> params,
                                             std::string_view key) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string_view name = params[i].name;
        if (name.size() == key.size() && std::equal(key.begin(), key.end(), name.begin()))
            return i;
    }
    return std::nullopt;
}

// Puts `value` in `slot`, refusing a second value for the same parameter.
Status fill(const FunctionDescription &desc, PyObject *&slot, PyObject *value,
            std::string_view key) {
    if (slot)
        return err(multiple_values_for_argument(desc, key));
    slot = value;
    return {};
}

Status bind_keywords(const FunctionDescription &desc, PyObject *kwargs,
                     std::span<PyObject *> slots) {
    const std::size_t npos = desc.positional_names.size();
    std::vector<std::string_view> positional_only_passed;
    Py_ssize_t pos = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        Result<std::string_view> text = to_str(key);
        if (!text) {
            // A key without a UTF-8 form can match nothing anyway.
            return err(unexpected_keyword_argument(desc, key));
        }
        if (auto i = find_keyword_only(desc.keyword_only, *text)) {
            if (Status s = fill(desc, slots[npos + *i], value, *text); !s)
                return s;
            continue;
        }
        std::optional<std::size_t> j;
        if (npos != 0)
            j = find_name(desc.positional_names, *text);
        if (!j)
            return err(unexpected_keyword_argument(desc, key));
        if (*j < desc.positional_only_count) {
            positional_only_passed.push_back(*text);
            continue;
        }
        if (Status s = fill(desc, slots[*j], value, *text); !s)
            return s;
    }
    if (!positional_only_passed.empty())
        return err(positional_only_keyword_arguments(desc, positional_only_passed));
    return {};
}

std::string count_text(std::size_t n) { return std::to_string(n); }

}  // namespace

std::string FunctionDescription::display_name() const {
    if (class_name)
        return std::string(class_name) + "." + function_name + "()";
    return std::string(function_name) + "()";
}

Status extract_arguments_tuple_dict(const FunctionDescription &desc, PyObject *args,
                                    PyObject *kwargs, std::span<PyObject *> slots) {
    const std::size_t npos = desc.positional_names.size();
    const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
    for (std::size_t i = 0; i < std::min(given, npos); ++i)
        slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    if (given > npos)
        return err(too_many_positional_arguments(desc, given));
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        if (Status s = bind_keywords(desc, kwargs, slots); !s)
            return s;
    }
    if (given < desc.required_positional_count) {
        for (std::size_t i = given; i < desc.required_positional_count; ++i) {
            if (!slots[i])
                return err(missing_required_positional_arguments(desc, slots));
        }
    }
    for (std::size_t i = 0; i < desc.keyword_only.size(); ++i) {
        if (desc.keyword_only[i].required && !slots[npos + i])
            return err(missing_required_keyword_arguments(desc, slots.subspan(npos)));
    }
    return {};
}

PyErr too_many_positional_arguments(const FunctionDescription &desc, std::size_t given) {
    const std::size_t npos = desc.positional_names.size();
    std::string msg = desc.display_name() + " takes ";
    if (desc.required_positional_count != npos)
        msg += "from " + count_text(desc.required_positional_count) + " to ";
    msg += count_text(npos) + " positional arguments but " + count_text(given) +
           (given == 1 ? " was" : " were") + " given";
    return type_error(std::move(msg));
}

PyErr unexpected_keyword_argument(const FunctionDescription &desc, PyObject *key) {
    return type_error(desc.display_name() + " got an unexpected keyword argument '" +
                      display_text(key) + "'");
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
    std::string msg = desc.display_name() + " missing " + count_text(names.size()) + " required " +
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

std::string display_text(PyObject *obj) {
    std::optional<PyErr> failure;
    if (Owned text = Owned::steal(PyObject_Str(obj))) {
        Result<std::string> lossy = to_string_lossy(text.get());
        if (lossy)
            return std::move(*lossy);
        failure.emplace(std::move(lossy.error()));
    } else {
        failure.emplace(PyErr::fetch());
    }
    std::move(*failure).write_unraisable(obj);
    Owned type_name = Owned::steal(PyType_GetName(Py_TYPE(obj)));
    if (!type_name) {
        PyErr_Clear();
        return "<unprintable object>";
    }
    return "<unprintable " + display_text(type_name.get()) + " object>";
}

PyErr argument_extraction_error(std::string_view name, PyErr error) {
    if (!error.is_exactly(PyExc_TypeError))
        return error;
    PyObject *inner = error.make_normalized();
    PyErr relabelled =
        type_error("argument '" + std::string(name) + "': " + display_text(inner));
    std::optional<PyErr> cause;
    if (Owned inner_cause = Owned::steal(PyException_GetCause(inner)))
        cause.emplace(PyErr::from_value(std::move(inner_cause)));
    relabelled.set_cause(std::move(cause));
    return relabelled;
}

}  // namespace kestrine::binding
