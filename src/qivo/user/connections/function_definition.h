// The static description of one of the module's functions: its name,
// documentation, parameters with their annotations, defaults and argument
// checks, and the C++ body that runs once the arguments are bound.
#pragma once

#include "namespace.h"

#include <array>
#include <span>

namespace qivo {

// What a parameter accepts; every failed check raises TypeError before the
// body runs.
enum class ArgumentCheck {
    any,        // any object
    truth,      // any object, reduced to its truth value before the checks
    exact_str,  // exactly str (no subclass, no None)
    exact_dict, // exactly dict (no subclass, no None)
    str_or_none // None or exactly str
};

enum class DefaultValue { required, none, true_value, snowflake };

struct ParameterDefinition {
    const char* name;
    const char* annotation;
    ArgumentCheck check;
    DefaultValue default_value = DefaultValue::required;
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
