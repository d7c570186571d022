#include "runtime/function_type.h"

#include "runtime/argument_binder.h"

#include <new>
#include <structmember.h>

namespace qivo {

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDefinition* definition;
    nb::object defaults;    // tuple, or None when no parameter has a default
    nb::object annotations; // dict of parameter name (and "return") to text
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* keyword_names) {
    FunctionObject* self = as_function(callable);
    // The functions call each other through the module namespace, so a
    // rebinding can make them recurse without any Python frame in between.
    if (Py_EnterRecursiveCall(" while calling a module function") != 0) {
        return nullptr;
    }
    PyObject* result = python_boundary([&] {
        BoundArguments bound = ArgumentBinder::bind(*self->definition, self->defaults, args,
                                                    PyVectorcall_NARGS(nargsf), keyword_names);
        ModuleNamespace globals(PyType_GetModule(Py_TYPE(callable)));
        return self->definition->body(globals, bound);
    });
    Py_LeaveRecursiveCall();
    return result;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->defaults.ptr());
    Py_VISIT(function->annotations.ptr());
    return PyObject_VisitManagedDict(self, visit, arg);
}

int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    function->defaults.reset();
    function->annotations.reset();
    PyObject_ClearManagedDict(self);
    return 0;
}

void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    FunctionObject* function = as_function(self);
    function->defaults.~object();
    function->annotations.~object();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %s at %p>", as_function(self)->definition->name, self);
}

// Module functions are not bound to instances when stored on a class, like
// builtin functions; having __get__ also makes `inspect` and `pydoc` treat
// them as routines.
PyObject* function_descr_get(PyObject* self, PyObject*, PyObject*) {
    return Py_NewRef(self);
}

PyObject* get_name(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->definition->name);
}

PyObject* get_module_name(PyObject* self, void*) {
    return PyModule_GetNameObject(PyType_GetModule(Py_TYPE(self)));
}

PyObject* get_doc(PyObject* self, void*) {
    return PyUnicode_FromString(as_function(self)->definition->doc);
}

PyObject* get_defaults(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->defaults.ptr());
}

// The namespace the function's annotations and late-bound names are resolved
// in, as for a Python function (typing.get_type_hints reads it).
PyObject* get_globals(PyObject* self, void*) {
    return Py_NewRef(PyModule_GetDict(PyType_GetModule(Py_TYPE(self))));
}

// Every parameter is positional-or-keyword, so there are no keyword-only
// defaults.
PyObject* get_kwdefaults(PyObject*, void*) {
    Py_RETURN_NONE;
}

PyObject* get_annotations(PyObject* self, void*) {
    return Py_NewRef(as_function(self)->annotations.ptr());
}

// inspect.Signature of the function, built from its parameters, current
// defaults and current annotations, as `inspect` builds it for a Python
// function.
PyObject* get_signature(PyObject* self, void*) {
    FunctionObject* function = as_function(self);
    return python_boundary([&] {
        nb::object inspect = import_module("inspect"_id);
        nb::object parameter_type = inspect.attr("Parameter"_id);
        nb::object empty = parameter_type.attr("empty"_id);
        nb::object kind = parameter_type.attr("POSITIONAL_OR_KEYWORD"_id);
        const auto& parameters = function->definition->parameters;
        const Py_ssize_t default_count =
            function->defaults.is_none() ? 0 : nb::len(function->defaults);
        const Py_ssize_t first_default = static_cast<Py_ssize_t>(parameters.size()) - default_count;
        auto annotation_of = [&](const char* name) -> nb::object {
            nb::object found = dict_item(function->annotations, name);
            return found.is_valid() ? found : empty;
        };
        nb::list signature_parameters;
        for (size_t i = 0; i < parameters.size(); ++i) {
            const auto index = static_cast<Py_ssize_t>(i);
            nb::object default_value =
                index >= first_default
                    ? nb::borrow(PyTuple_GET_ITEM(function->defaults.ptr(), index - first_default))
                    : empty;
            signature_parameters.append(
                parameter_type(parameters[i].name, kind, nb::arg("default") = default_value,
                               nb::arg("annotation") = annotation_of(parameters[i].name)));
        }
        return inspect.attr("Signature"_id)(signature_parameters,
                                            nb::arg("return_annotation") = annotation_of("return"));
    });
}

// Pickling and copying refer to the function by its qualified name, as for
// Python functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return get_name(self, nullptr);
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
     nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {0, nullptr},
};

PyType_Spec function_type_spec = {
    nullptr, // the type's name, given by the module
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_MANAGED_DICT |
        Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

nb::object make_default(DefaultValue value) {
    switch (value.kind) {
    case DefaultValue::Kind::true_value:
        return nb::borrow(Py_True);
    case DefaultValue::Kind::text:
        return nb::str(value.text);
    case DefaultValue::Kind::none:
    case DefaultValue::Kind::required:
        break;
    }
    return nb::none();
}

} // namespace

nb::object create_function_type(nb::handle module, const char* type_name) {
    // The type copies its name, so one PyType_Spec serves with another name each
    // time (one type is made per module object).
    PyType_Spec spec = function_type_spec;
    spec.name = type_name;
    return checked(PyType_FromModuleAndSpec(module.ptr(), &spec, nullptr));
}

nb::object create_function(nb::handle function_type, const FunctionDefinition& definition) {
    nb::list defaults;
    nb::dict annotations;
    for (const ParameterDefinition& parameter : definition.parameters) {
        if (!parameter.required()) {
            defaults.append(make_default(parameter.default_value));
        }
        annotations[parameter.name] = nb::str(parameter.annotation);
    }
    annotations["return"] = nb::str(definition.return_annotation);

    auto* type = reinterpret_cast<PyTypeObject*>(function_type.ptr());
    nb::object function = checked(type->tp_alloc(type, 0));
    FunctionObject* self = as_function(function.ptr());
    self->vectorcall = function_vectorcall;
    self->definition = &definition;
    new (&self->defaults)
        nb::object(nb::len(defaults) ? nb::object(nb::tuple(defaults)) : nb::none());
    new (&self->annotations) nb::object(std::move(annotations));
    return function;
}

} // namespace qivo
