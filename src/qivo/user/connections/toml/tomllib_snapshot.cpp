#include "toml/tomllib_snapshot.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace qivo {

namespace {

// Whether `module` is a plain module named `name` loaded from the file `path`.
bool loaded_from(nb::handle module, const char* name, nb::handle path) {
    if (!PyModule_CheckExact(module.ptr())) {
        return false;
    }
    nb::object module_name = optional_attr(module, "__name__"_id);
    nb::object origin = optional_attr(module, "__file__"_id);
    return module_name.is_valid() && PyUnicode_CheckExact(module_name.ptr()) &&
           PyUnicode_CompareWithASCIIString(module_name.ptr(), name) == 0 && origin.is_valid() &&
           PyUnicode_CheckExact(origin.ptr()) &&
           checked_status(PyObject_RichCompareBool(origin.ptr(), path.ptr(), Py_EQ)) == 1;
}

// Adds to the set `names` every name that `code`, and the code nested in it,
// looks up as a global or an attribute.
void collect_names(nb::handle code, nb::handle names) {
    for_each(code.attr("co_names"_id),
             [&](nb::handle name) { checked_status(PySet_Add(names.ptr(), name.ptr())); });
    for_each(code.attr("co_consts"_id), [&](nb::handle constant) {
        if (PyCode_Check(constant.ptr())) {
            collect_names(constant, names);
        }
    });
}

// Whether a builtin is the interpreter's own: a type defined in C under
// that very name, or a function of the builtins module of that name.
bool is_interpreter_builtin(nb::handle name, nb::handle value) {
    std::string_view expected = utf8_of(name);
    if (PyType_Check(value.ptr())) {
        auto* type = reinterpret_cast<PyTypeObject*>(value.ptr());
        return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && expected == type->tp_name;
    }
    if (!PyCFunction_Check(value.ptr())) {
        return false;
    }
    PyObject* owner = PyCFunction_GET_SELF(value.ptr());
    const char* owner_name =
        owner != nullptr && PyModule_Check(owner) ? PyModule_GetName(owner) : nullptr;
    if (owner_name == nullptr) {
        PyErr_Clear();
        return false;
    }
    return std::string_view(owner_name) == "builtins" &&
           expected == reinterpret_cast<PyCFunctionObject*>(value.ptr())->m_ml->ml_name;
}

// The keyword defaults that tomllib's own functions have, as the standard
// library sets them; they have no positional defaults.
bool is_standard_keyword_default(nb::handle name, nb::handle value) {
    const std::string_view parameter = utf8_of(name);
    if (parameter == "parse_float") {
        return value.is(reinterpret_cast<PyObject*>(&PyFloat_Type));
    }
    if (parameter == "access_lists") {
        return value.is(Py_True);
    }
    if (parameter == "multiline") {
        return value.is(Py_False);
    }
    return false;
}

// The code file of a function.
std::string code_file(nb::handle function) {
    nb::object file = nb::handle(PyFunction_GetCode(function.ptr())).attr("co_filename"_id);
    return PyUnicode_Check(file.ptr()) ? std::string(utf8_of(file)) : std::string();
}

nb::object borrow_or_empty(PyObject* object) {
    return object != nullptr ? nb::borrow(object) : nb::object();
}

// tomllib and its submodules, and their names, when each was loaded from
// the standard library's own files.
struct StandardModules {
    std::vector<nb::object> modules; // tomllib, _parser, _re and, if present, _types
    nb::object names;                // a set
    std::string library_directory;   // the standard library's, with a final "/"
    std::string parser_file;         // tomllib/_parser.py in it
};

std::optional<StandardModules> find_standard_modules(nb::handle reader) {
    // The standard library's directory is where `os` came from: the
    // interpreter imports it while it starts, before any directory of the
    // user's is on the path.
    nb::object os_path = import_module("os.path"_id);
    nb::object os_file = optional_attr(import_module("os"_id), "__file__"_id);
    if (!os_file.is_valid() || !PyUnicode_CheckExact(os_file.ptr())) {
        return std::nullopt;
    }
    nb::object library = os_path.attr("dirname"_id)(os_file);
    nb::object directory = os_path.attr("join"_id)(library, "tomllib");

    struct Part {
        const char* attribute; // of the package; none for the package itself
        const char* name;
        const char* file;
        bool required;
    };
    static constexpr Part parts[] = {
        {nullptr, "tomllib", "__init__.py", true},
        {"_parser", "tomllib._parser", "_parser.py", true},
        {"_re", "tomllib._re", "_re.py", true},
        {"_types", "tomllib._types", "_types.py", false},
    };
    StandardModules found{{},
                          checked(PySet_New(nullptr)),
                          std::string(utf8_of(library)) + "/",
                          std::string(utf8_of(os_path.attr("join"_id)(directory, "_parser.py")))};
    for (const Part& part : parts) {
        nb::object module = part.attribute != nullptr
                                ? optional_attr(reader, nb::str(part.attribute))
                                : nb::borrow(reader);
        if (!module.is_valid() && !part.required) {
            continue;
        }
        if (!module.is_valid() ||
            !loaded_from(module, part.name, os_path.attr("join"_id)(directory, part.file))) {
            return std::nullopt;
        }
        checked_status(PySet_Add(found.names.ptr(), nb::str(part.name).ptr()));
        found.modules.push_back(std::move(module));
    }
    return found;
}

} // namespace

std::unique_ptr<TomllibSnapshot> TomllibSnapshot::take(nb::handle reader) {
    const std::optional<StandardModules> found = find_standard_modules(reader);
    if (!found) {
        return nullptr;
    }
    // The entry points are the parser's own functions, in tomllib and in its
    // parser module alike.
    for (const nb::object& module : {found->modules[0], found->modules[1]}) {
        for (PyObject* name : {"load"_id, "loads"_id}) {
            nb::object function = optional_attr(module, name);
            if (!function.is_valid() || !PyFunction_Check(function.ptr()) ||
                code_file(function) != found->parser_file) {
                return nullptr;
            }
        }
    }
    nb::object load = optional_attr(reader, "load"_id);
    nb::object offset_timezone = optional_attr(found->modules[2], "cached_tz"_id);
    if (!offset_timezone.is_valid()) {
        return nullptr;
    }
    std::unique_ptr<TomllibSnapshot> snapshot(new TomllibSnapshot());
    snapshot->modules_ = found->modules;
    snapshot->library_directory_ = found->library_directory;
    snapshot->module_ = nb::borrow(reader);
    snapshot->offset_timezone_ = offset_timezone;
    nb::object io = import_module("io"_id);
    snapshot->buffered_reader_type_ = io.attr("BufferedReader"_id);
    snapshot->bytes_io_type_ = io.attr("BytesIO"_id);
    nb::object used_names = checked(PySet_New(nullptr));
    for (const nb::object& module : found->modules) {
        snapshot->watch_namespace(PyModule_GetDict(module.ptr()), found->names, used_names);
    }
    if (!snapshot->trusted_ || !snapshot->watch_builtins(load, used_names)) {
        return nullptr;
    }
    return snapshot;
}

// Records the builtins that tomllib's code may look up, among its other
// names; false when they are not a plain dict, or when one that is not a
// dunder name (those are attributes tomllib reads, not builtins it calls)
// is not the interpreter's own.
bool TomllibSnapshot::watch_builtins(nb::handle load, nb::handle used_names) {
    nb::object builtins = load.attr("__builtins__"_id);
    if (!PyDict_CheckExact(builtins.ptr())) {
        return false;
    }
    WatchedDict watched_builtins{builtins, {}, false};
    bool own = true;
    for_each(used_names, [&](nb::handle name) {
        PyObject* found = nullptr;
        if (checked_status(PyDict_GetItemRef(builtins.ptr(), name.ptr(), &found)) == 1) {
            nb::object value = nb::steal(found);
            const std::string_view text = utf8_of(name);
            const bool dunder = text.size() > 4 && text.starts_with("__") && text.ends_with("__");
            own = own && (dunder || is_interpreter_builtin(name, value));
            watched_builtins.items.emplace_back(nb::borrow(name), std::move(value));
        }
    });
    dicts_.push_back(std::move(watched_builtins));
    return own;
}

// Records a module's or class's dict, and what it holds that tomllib's code
// runs: its functions, and the classes of tomllib's own modules.
void TomllibSnapshot::watch_namespace(nb::handle dict, nb::handle module_names,
                                      nb::handle used_names) {
    const bool seen = std::any_of(dicts_.begin(), dicts_.end(), [&](const WatchedDict& watched) {
        return watched.dict.is(dict);
    });
    if (seen) {
        return;
    }
    WatchedDict watched{nb::borrow(dict), {}, true};
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict.ptr(), &position, &key, &value)) {
        watched.items.emplace_back(nb::borrow(key), nb::borrow(value));
    }
    std::vector<nb::object> values;
    for (const auto& item : watched.items) {
        values.push_back(item.second);
    }
    dicts_.push_back(std::move(watched));
    for (const nb::object& item : values) {
        if (PyFunction_Check(item.ptr())) {
            watch_function(item, used_names);
        } else if (PyType_Check(item.ptr())) {
            nb::object owner = optional_attr(item, "__module__"_id);
            if (owner.is_valid() && PyUnicode_Check(owner.ptr()) &&
                checked_status(PySet_Contains(module_names.ptr(), owner.ptr())) == 1) {
                nb::object type_dict =
                    checked(PyType_GetDict(reinterpret_cast<PyTypeObject*>(item.ptr())));
                watch_namespace(type_dict, module_names, used_names);
            }
        }
    }
}

void TomllibSnapshot::watch_function(nb::handle function, nb::handle used_names) {
    const bool seen =
        std::any_of(functions_.begin(), functions_.end(),
                    [&](const WatchedFunction& watched) { return watched.function.is(function); });
    if (seen) {
        return;
    }
    PyObject* keyword_defaults = PyFunction_GetKwDefaults(function.ptr());
    check_origin(function, keyword_defaults);
    functions_.push_back({nb::borrow(function), nb::borrow(PyFunction_GetCode(function.ptr())),
                          borrow_or_empty(PyFunction_GetDefaults(function.ptr())),
                          borrow_or_empty(keyword_defaults)});
    if (keyword_defaults != nullptr) {
        WatchedDict watched{nb::borrow(keyword_defaults), {}, true};
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(keyword_defaults, &position, &key, &value)) {
            watched.items.emplace_back(nb::borrow(key), nb::borrow(value));
        }
        dicts_.push_back(std::move(watched));
    }
    collect_names(PyFunction_GetCode(function.ptr()), used_names);
}

// A function tomllib's code may run must come from the standard library's
// files; one from tomllib's own files must also have the defaults the
// standard library gives it. Anything else leaves the snapshot untrusted.
void TomllibSnapshot::check_origin(nb::handle function, PyObject* keyword_defaults) {
    const std::string file = code_file(function);
    if (!file.starts_with(library_directory_)) {
        trusted_ = false;
        return;
    }
    if (!file.starts_with(library_directory_ + "tomllib/")) {
        return;
    }
    if (PyFunction_GetDefaults(function.ptr()) != nullptr) {
        trusted_ = false;
    }
    if (keyword_defaults != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(keyword_defaults, &position, &key, &value)) {
            trusted_ = trusted_ && is_standard_keyword_default(key, value);
        }
    }
}

bool TomllibSnapshot::WatchedDict::unchanged() const {
    PyObject* current = dict.ptr();
    if (whole) {
        if (PyDict_GET_SIZE(current) != static_cast<Py_ssize_t>(items.size())) {
            return false;
        }
        // Usually the dict holds the same items in the same order.
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        size_t index = 0;
        while (PyDict_Next(current, &position, &key, &value) && key == items[index].first.ptr() &&
               value == items[index].second.ptr()) {
            ++index;
        }
        if (index == items.size()) {
            return true;
        }
    }
    // Names rebound and restored, or deleted and added again, keep their
    // objects but not their places.
    for (const auto& [key, value] : items) {
        PyObject* found = PyDict_GetItemWithError(current, key.ptr()); // borrowed, compared only
        if (found == nullptr && PyErr_Occurred()) {
            nb::raise_python_error();
        }
        if (found != value.ptr()) {
            return false;
        }
    }
    return true;
}

bool TomllibSnapshot::WatchedFunction::unchanged() const {
    return PyFunction_GetCode(function.ptr()) == code.ptr() &&
           PyFunction_GetDefaults(function.ptr()) == defaults.ptr() &&
           PyFunction_GetKwDefaults(function.ptr()) == keyword_defaults.ptr();
}

bool TomllibSnapshot::unchanged(nb::handle reader) const {
    if (!module_.is_valid() || !reader.is(module_)) {
        return false;
    }
    // A module whose class was swapped may answer attribute lookups its own
    // way.
    if (!std::all_of(modules_.begin(), modules_.end(),
                     [](const nb::object& module) { return PyModule_CheckExact(module.ptr()); })) {
        return false;
    }
    return std::all_of(functions_.begin(), functions_.end(),
                       [](const WatchedFunction& watched) { return watched.unchanged(); }) &&
           std::all_of(dicts_.begin(), dicts_.end(),
                       [](const WatchedDict& watched) { return watched.unchanged(); });
}

int TomllibSnapshot::traverse(visitproc visit, void* arg) const {
    auto visit_all = [&](std::initializer_list<const nb::object*> objects) {
        for (const nb::object* object : objects) {
            if (object->is_valid()) {
                if (int status = visit(object->ptr(), arg); status != 0) {
                    return status;
                }
            }
        }
        return 0;
    };
    int status = visit_all({&module_, &offset_timezone_, &buffered_reader_type_, &bytes_io_type_});
    for (const nb::object& module : modules_) {
        if (status == 0) {
            status = visit_all({&module});
        }
    }
    for (const WatchedDict& watched : dicts_) {
        if (status == 0) {
            status = visit_all({&watched.dict});
        }
        for (const auto& item : watched.items) {
            if (status == 0) {
                status = visit_all({&item.first, &item.second});
            }
        }
    }
    for (const WatchedFunction& watched : functions_) {
        if (status == 0) {
            status = visit_all(
                {&watched.function, &watched.code, &watched.defaults, &watched.keyword_defaults});
        }
    }
    return status;
}

void TomllibSnapshot::clear() {
    module_.reset();
    modules_.clear();
    dicts_.clear();
    functions_.clear();
    offset_timezone_.reset();
    buffered_reader_type_.reset();
    bytes_io_type_.reset();
}

} // namespace qivo
