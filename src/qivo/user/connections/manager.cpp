// The extension module qivo.user.connections.manager: its definition, the
// code that runs each time it is imported (standard imports, the choice of a
// TOML reader, the globals) and the table of its twelve functions.
#include "docstrings.h"
#include "module_globals.h"
#include "module_state.h"
#include "operations/operations.h"
#include "runtime/function_type.h"
#include "store/location.h"
#include "store/reader.h"
#include "store/system_calls.h"
#include "store/writer.h"
#include "toml/tomllib_snapshot.h"

#include <memory>

namespace qivo {

namespace {

using Check = ArgumentCheck;

nb::object to_bool(bool value) {
    return nb::borrow(value ? Py_True : Py_False);
}

constexpr ParameterDefinition save_store_parameters[] = {
    {"connections", "Dict[str, Any]", Check::exact_dict},
};
constexpr ParameterDefinition save_parameters[] = {
    {"connection_name", "str", Check::exact_str},
    {"credentials", "Dict[str, Any]", Check::exact_dict},
    {"connection_type", "str", Check::exact_str, defaults::text("snowflake")},
    {"copy_key", "bool", Check::truth, defaults::true_value},
};
constexpr ParameterDefinition name_parameters[] = {
    {"connection_name", "str", Check::exact_str},
};
constexpr ParameterDefinition update_parameters[] = {
    {"connection_name", "str", Check::exact_str},
    {"credentials", "Dict[str, Any]", Check::exact_dict},
    {"connection_type", "Optional[str]", Check::str_or_none, defaults::none},
    {"copy_key", "bool", Check::truth, defaults::true_value},
};
constexpr ParameterDefinition get_primary_parameters[] = {
    {"connection_type", "Optional[str]", Check::str_or_none, defaults::none},
};
constexpr ParameterDefinition set_primary_parameters[] = {
    {"connection_name", "str", Check::exact_str},
    {"connection_type", "Optional[str]", Check::str_or_none, defaults::none},
};

// In the order in which the module defines them.
const FunctionDefinition function_table[] = {
    {"get_velmor_dir",
     docs::get_velmor_dir,
     {},
     "Path",
     [](const ModuleNamespace& names, const BoundArguments&) {
         return get_velmor_dir(ModuleGlobals(names));
     }},
    {"get_connections_file",
     docs::get_connections_file,
     {},
     "Path",
     [](const ModuleNamespace& names, const BoundArguments&) {
         return get_connections_file(ModuleGlobals(names));
     }},
    {"initialize_velmor_directory",
     docs::initialize_velmor_directory,
     {},
     "Path",
     [](const ModuleNamespace& names, const BoundArguments&) {
         return initialize_velmor_directory(ModuleGlobals(names));
     }},
    {"_load_connections_file",
     docs::load_connections_file,
     {},
     "Dict[str, Any]",
     [](const ModuleNamespace& names, const BoundArguments&) {
         return load_connections_file(ModuleGlobals(names));
     }},
    {"_save_connections_file", docs::save_connections_file, save_store_parameters, "None",
     [](const ModuleNamespace& names, const BoundArguments& args) {
         save_connections_file(ModuleGlobals(names), args[0]);
         return nb::none();
     }},
    {"save_connection_config", docs::save_connection_config, save_parameters, "None",
     [](const ModuleNamespace& names, const BoundArguments& args) {
         save_connection_config(ModuleGlobals(names), args.str(0), args.dict(1), args.str(2),
                                args.truth());
         return nb::none();
     }},
    {"load_connection", docs::load_connection, name_parameters, "Optional[Dict[str, Any]]",
     [](const ModuleNamespace& names, const BoundArguments& args) {
         return load_connection(ModuleGlobals(names), args.str(0));
     }},
    {"list_connections",
     docs::list_connections,
     {},
     "List[str]",
     [](const ModuleNamespace& names, const BoundArguments&) {
         return list_connections(ModuleGlobals(names));
     }},
    {"delete_connection", docs::delete_connection, name_parameters, "bool",
     [](const ModuleNamespace& names, const BoundArguments& args) {
         return to_bool(delete_connection(ModuleGlobals(names), args.str(0)));
     }},
    {"update_connection", docs::update_connection, update_parameters, "bool",
     [](const ModuleNamespace& names, const BoundArguments& args) {
         return to_bool(update_connection(ModuleGlobals(names), args.str(0), args.dict(1), args[2],
                                          args.truth()));
     }},
    {"get_primary_connection", docs::get_primary_connection, get_primary_parameters,
     "Optional[str]",
     [](const ModuleNamespace& names, const BoundArguments& args) {
         return get_primary_connection(ModuleGlobals(names), args[0]);
     }},
    {"set_primary_connection", docs::set_primary_connection, set_primary_parameters, "bool",
     [](const ModuleNamespace& names, const BoundArguments& args) {
         return to_bool(set_primary_connection(ModuleGlobals(names), args.str(0), args[1]));
     }},
};

class ModuleBuilder {
public:
    explicit ModuleBuilder(nb::handle module) : module_(module) {}

    void bind(const char* name, nb::handle value) {
        checked_status(PyModule_AddObjectRef(module_.ptr(), name, value.ptr()));
    }

    // `from <module> import <name>`, binding <name>.
    void bind_from(PyObject* module_name, const char* name) {
        nb::object module = import_module(module_name);
        PyObject* value = PyObject_GetAttrString(module.ptr(), name);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                nb::raise_python_error();
            }
            PyErr_Clear();
            raise_error(PyExc_ImportError, "cannot import name '%s' from '%U'", name, module_name);
        }
        bind(name, nb::steal(value));
    }

    // The first TOML reader that imports: the standard tomllib, then tomli,
    // then toml. The reader module is always bound as `tomllib`; the
    // fallbacks are bound under their own names too. Without any reader,
    // neither `tomllib` nor `TOML_READ_MODE` exists.
    void select_toml_reader() {
        const char* read_mode = "rb";
        if (nb::object standard = try_import_module("tomllib"_id); standard.is_valid()) {
            bind("tomllib", standard);
            keep_tomllib_snapshot(standard);
        } else if (nb::object tomli = try_import_module("tomli"_id); tomli.is_valid()) {
            bind("tomli", tomli);
            bind("tomllib", tomli);
        } else if (nb::object toml = try_import_module("toml"_id); toml.is_valid()) {
            bind("toml", toml);
            bind("tomllib", toml);
            read_mode = "r";
        } else {
            bind("TOML_AVAILABLE", Py_False);
            return;
        }
        bind("TOML_AVAILABLE", Py_True);
        bind("TOML_READ_MODE", nb::str(read_mode));
    }

    void run() {
        bind("shutil", import_module("shutil"_id));
        bind_from("pathlib"_id, "Path");
        for (const char* name : {"Dict", "Optional", "Any", "List"}) {
            bind_from("typing"_id, name);
        }
        bind("os", import_module("os"_id));
        select_toml_reader();
        nb::object function_type =
            create_function_type(module_, "qivo.user.connections.manager.manager_function");
        for (const FunctionDefinition& definition : function_table) {
            bind(definition.name, create_function(function_type, definition));
        }
#ifdef QIVO_FAULT_INJECTION
        static PyMethodDef set_hook = {"_set_system_call_hook", posix::set_system_call_hook, METH_O,
                                       "Test builds only: see store/system_calls.h."};
        bind(set_hook.ml_name, checked(PyCFunction_New(&set_hook, nullptr)));
#endif
    }

private:
    // Records the standard tomllib as it is now, for the store reader.
    void keep_tomllib_snapshot(nb::handle standard) {
        std::unique_ptr<TomllibSnapshot> snapshot = TomllibSnapshot::take(standard);
        ModuleState* state = module_state(module_);
        delete state->tomllib_snapshot;
        state->tomllib_snapshot = snapshot.release();
    }

    nb::handle module_;
};

int manager_exec(PyObject* module) {
    try {
        ModuleBuilder(module).run();
        return 0;
    } catch (...) {
        set_python_error_from_current_exception();
        return -1;
    }
}

int manager_traverse(PyObject* module, visitproc visit, void* arg) {
    const ModuleState* state = module_state(module);
    if (state == nullptr || state->tomllib_snapshot == nullptr) {
        return 0;
    }
    return state->tomllib_snapshot->traverse(visit, arg);
}

int manager_clear(PyObject* module) {
    if (ModuleState* state = module_state(module); state != nullptr && state->tomllib_snapshot) {
        state->tomllib_snapshot->clear();
    }
    return 0;
}

void manager_free(void* module) {
    if (ModuleState* state = module_state(static_cast<PyObject*>(module)); state != nullptr) {
        delete state->tomllib_snapshot;
        state->tomllib_snapshot = nullptr;
    }
}

PyModuleDef_Slot manager_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(manager_exec)},
    // One interpreter only: interned names and the record of held store
    // locks are kept for the whole process.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    // The functions rely on the GIL to serialise their use of those.
    {Py_mod_gil, Py_MOD_GIL_USED},
    {0, nullptr},
};

PyModuleDef manager_module = {
    PyModuleDef_HEAD_INIT,
    "qivo.user.connections.manager",
    docs::module,
    sizeof(ModuleState),
    nullptr,
    manager_slots,
    manager_traverse,
    manager_clear,
    manager_free,
};

} // namespace

} // namespace qivo

PyMODINIT_FUNC PyInit_manager() {
    return PyModuleDef_Init(&qivo::manager_module);
}
