// The static description of a module-level function: its name,
// documentation, parameters with their annotations, defaults and argument
// checks, and the C++ body that runs once the arguments are bound.
#pragma once

#include "runtime/module_namespace.h"

#include <array>
#include <span>

namespace qivo {

// What a parameter accepts; every failed check raises TypeError before the
// body runs.
enum class ArgumentCheck {
    truth,      // any object, reduced to its truth value before the checks
    exact_str,  // exactly str (no subclass, no None)
    exact_dict, // exactly dict (no subclass, no None)
    str_or_none // None or exactly str
};

// A parameter's default value: none (the parameter is required), None, True
// or a text.
struct DefaultValue {
    enum class Kind { required, none, true_value, text };
    Kind kind = Kind::required;
    const char* text = nullptr;
};

namespace defaults {
inline constexpr DefaultValue none{DefaultValue::Kind::none};
inline constexpr DefaultValue true_value{DefaultValue::Kind::true_value};
constexpr DefaultValue text(const char* value) {
    return {DefaultValue::Kind::text, value};
}
} // namespace defaults

struct ParameterDefinition {
    const char* name;
    const char* annotation;
    ArgumentCheck check;
    DefaultValue default_value = {};

    bool required() const { return default_value.kind == DefaultValue::Kind::required; }
};

inline constexpr size_t max_parameters = 4;

// The arguments of one call after binding, in parameter order. The handles
// are borrowed from the call's arguments or the function's defaults, which
// both outlive the call.
class BoundArguments {
public:
    nb::handle operator[](size_t index) const { return values_[index]; }
    nb::str str(size_t index) const { return nb::borrow<nb::str>(values_[index]); }
    nb::dict dict(size_t index) const { return nb::borrow<nb::dict>(values_[index]); }
    // The truth value of the parameter checked with ArgumentCheck::truth.
    bool truth() const { return truth_; }

private:
    friend class ArgumentBinder;
    std::array<nb::handle, max_parameters> values_{};
    bool truth_ = false;
};

using FunctionBody = nb::object (*)(const ModuleNamespace& globals, const BoundArguments& args);

struct FunctionDefinition {
    const char* name;
    const char* doc;
    std::span<const ParameterDefinition> parameters;
    const char* return_annotation;
    FunctionBody body;
};

} // namespace qivo
