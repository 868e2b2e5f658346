// Binding a call's positional and keyword arguments to declared parameters.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "error.hpp"

namespace kestrine::binding {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

// Interned str objects of a description's names (positional names, then
// keyword-only ones), made on first use: call sites pass interned keyword
// names, so most lookups end at a pointer compare.
struct InternedNames {
    static constexpr std::size_t kMax = 8;  // later names are compared by bytes only
    std::array<std::atomic<PyObject *>, kMax> names{};
    std::atomic<std::size_t> ready{0};  // how many names are usable
};

struct FunctionDescription {
    const char *class_name;  // null for a module-level function
    const char *function_name;
    std::span<const std::string_view> positional_names;
    std::size_t positional_only_count;
    std::size_t required_positional_count;
    std::span<const KeywordOnlyParameter> keyword_only;
    InternedNames *interned = nullptr;  // optional

    std::size_t slot_count() const noexcept { return positional_names.size() + keyword_only.size(); }
    // "Cls.func()" or "func()": how every message names the callable.
    std::string display_name() const;
};

// Fills `slots` (one per positional, then one per keyword-only parameter,
// all null on entry) with borrowed references, or refuses the call with the
// interpreter-style TypeError. Allocates nothing on success.
Status extract_arguments_tuple_dict(const FunctionDescription &desc, PyObject *args,
                                    PyObject *kwargs, std::span<PyObject *> slots);
// The same for the vectorcall convention: keyword values follow the
// positional ones in `args`, named by the `kwnames` tuple (or null).
Status extract_arguments_fastcall_slow(const FunctionDescription &desc, PyObject *const *args,
                                       std::size_t nargs, PyObject *kwnames,
                                       std::span<PyObject *> slots);
namespace detail {

// Binds keywords that are all declared, interned, positional-or-keyword
// names given once each: what nearly every call by keyword looks like.
// Anything else returns false and goes the general way.
inline bool bind_interned_keywords(const FunctionDescription &desc, PyObject *const *args,
                                   std::size_t nargs, PyObject *kwnames,
                                   std::span<PyObject *> slots) {
    const InternedNames *cache = desc.interned;
    const std::size_t npos = desc.positional_names.size();
    if (!cache || cache->ready.load(std::memory_order_acquire) < npos)
        return false;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t j = desc.positional_only_count;
        while (j < npos && cache->names[j].load(std::memory_order_relaxed) != key)
            ++j;
        if (j == npos || slots[j])
            return false;
        slots[j] = args[nargs + static_cast<std::size_t>(k)];
    }
    for (std::size_t i = nargs; i < desc.required_positional_count; ++i) {
        if (!slots[i])
            return false;
    }
    return true;
}

}  // namespace detail

inline Status extract_arguments_fastcall(const FunctionDescription &desc, PyObject *const *args,
                                         std::size_t nargs, PyObject *kwnames,
                                         std::span<PyObject *> slots) {
    const std::size_t npos = desc.positional_names.size();
    if (desc.keyword_only.empty() && nargs <= npos && npos <= InternedNames::kMax) [[likely]] {
        // One pointer at a time, from the end: written as a loop, GCC 16
        // turns this copy into one of nargs * 8 bytes done a byte at a time.
        // The slot count is known once inlined, so each class keeps only
        // the cases it can reach.
        static_assert(InternedNames::kMax == 8, "one case per possible count");
        const auto copy = [&](std::size_t i) {
            if (i < slots.size())
                slots[i] = args[i];
        };
        switch (nargs) {
        case 8: copy(7); [[fallthrough]];
        case 7: copy(6); [[fallthrough]];
        case 6: copy(5); [[fallthrough]];
        case 5: copy(4); [[fallthrough]];
        case 4: copy(3); [[fallthrough]];
        case 3: copy(2); [[fallthrough]];
        case 2: copy(1); [[fallthrough]];
        case 1: copy(0); [[fallthrough]];
        default: break;
        }
        // Every parameter given by position: no check below could fail.
        if (!kwnames && nargs == npos)
            return {};
        if (kwnames && detail::bind_interned_keywords(desc, args, nargs, kwnames, slots))
            return {};
        std::fill(slots.begin(), slots.end(), nullptr);
    }
    return extract_arguments_fastcall_slow(desc, args, nargs, kwnames, slots);
}

// Re-labels a conversion failure with the parameter's name; only an exact
// TypeError is re-labelled.
PyErr argument_extraction_error(std::string_view name, PyErr error);

// Converts a bound argument with `Extract`, naming `name` on failure.
template <auto Extract>
[[gnu::always_inline]] inline auto extract_argument(PyObject *obj, std::string_view name)
    -> decltype(Extract(obj)) {
    auto value = Extract(obj);  // one object, returned in place either way
    if (!value) [[unlikely]]
        value = err(argument_extraction_error(name, std::move(value.error())));
    return value;
}

// How an object appears inside a message: its str(), lossily decoded, or a
// placeholder (the failure going to sys.unraisablehook). An interrupt from
// str() is not papered over: it comes back as the error.
Result<std::string> display_text(PyObject *obj);
inline constexpr const char *kUnprintable = "<unprintable object>";

// The message builders, exposed for the binder's callers and tests.
PyErr too_many_positional_arguments(const FunctionDescription &desc, std::size_t given);
PyErr unexpected_keyword_argument(const FunctionDescription &desc, PyObject *key);
PyErr multiple_values_for_argument(const FunctionDescription &desc, std::string_view key);
PyErr positional_only_keyword_arguments(const FunctionDescription &desc,
                                        std::span<const std::string_view> names);
PyErr missing_required_positional_arguments(const FunctionDescription &desc,
                                            std::span<PyObject *const> slots);
PyErr missing_required_keyword_arguments(const FunctionDescription &desc,
                                         std::span<PyObject *const> keyword_slots);
PyErr missing_required_arguments(const FunctionDescription &desc, std::string_view kind,
                                 std::span<const std::string_view> names);
void push_parameter_list(std::string &out, std::span<const std::string_view> names);

}  // namespace kestrine::binding
