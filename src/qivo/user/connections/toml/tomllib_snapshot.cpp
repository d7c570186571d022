#include "toml/tomllib_snapshot.h"

#include <algorithm>
#include <set>
#include <string>
#include <string_view>
#include <unordered_set>

namespace qivo {

namespace {

// The text of an object's attribute `name` when it is a str, else "".
std::string text_attribute(nb::handle object, PyObject* name) {
    nb::object value = optional_attr(object, name);
    return value.is_valid() && PyUnicode_CheckExact(value.ptr()) ? std::string(utf8_of(value))
                                                                 : std::string();
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

// Whether a builtin is the interpreter's own: a type defined in C under that
// very name, or a C function of that name of the module whose dict it is in.
bool is_interpreter_builtin(nb::handle name, nb::handle value, nb::handle builtins) {
    const std::string_view expected = utf8_of(name);
    PyObject* object = value.ptr();
    if (PyType_Check(object)) {
        auto* type = reinterpret_cast<PyTypeObject*>(object);
        return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) && expected == type->tp_name;
    }
    PyObject* owner = PyCFunction_Check(object) ? PyCFunction_GET_SELF(object) : nullptr;
    return owner != nullptr && PyModule_CheckExact(owner) &&
           PyModule_GetDict(owner) == builtins.ptr() &&
           expected == reinterpret_cast<PyCFunctionObject*>(object)->m_ml->ml_name;
}

// The keyword defaults that tomllib's own functions have, as the standard
// library sets them; they have no positional defaults.
bool is_standard_keyword_default(nb::handle name, nb::handle value) {
    const std::string_view parameter = utf8_of(name);
    return (parameter == "parse_float" && value.is(reinterpret_cast<PyObject*>(&PyFloat_Type))) ||
           (parameter == "access_lists" && value.is(Py_True)) ||
           (parameter == "multiline" && value.is(Py_False));
}

// What can change about an object while it stays itself: a function's code
// and defaults; anything else's class, and a class's bases (its MRO).
std::array<PyObject*, 3> parts_of(PyObject* object) {
    if (PyFunction_Check(object)) {
        return {PyFunction_GET_CODE(object), PyFunction_GET_DEFAULTS(object),
                PyFunction_GET_KW_DEFAULTS(object)};
    }
    auto* type = reinterpret_cast<PyTypeObject*>(object);
    return {reinterpret_cast<PyObject*>(Py_TYPE(object)),
            PyType_Check(object) ? type->tp_mro : nullptr, nullptr};
}

// tomllib and the submodules its code runs, each a plain module loaded from
// its own file in the standard library's directory `library` (else none).
std::vector<nb::object> standard_modules(nb::handle reader, const std::string& library) {
    std::vector<nb::object> modules;
    for (const std::string part : {"", "_parser", "_re"}) {
        nb::object module =
            part.empty() ? nb::borrow(reader) : optional_attr(reader, nb::str(part.c_str()));
        const std::string file = library + "tomllib/" + (part.empty() ? "__init__" : part) + ".py";
        if (!module.is_valid() || !PyModule_CheckExact(module.ptr()) ||
            text_attribute(module, "__file__"_id) != file) {
            return {};
        }
        modules.push_back(std::move(module));
    }
    return modules;
}

} // namespace

// Records everything reached from tomllib's entry points, and whether all of
// it is what the standard library makes.
struct TomllibSnapshot::Recorder {
    TomllibSnapshot& snapshot;
    std::string library; // the standard library's directory, with a final "/"
    std::unordered_set<PyObject*> seen;
    std::set<std::pair<PyObject*, PyObject*>> looked_up; // (dict, name)
    bool trusted = true;

    // Keeps `object` (if any) alive as long as the snapshot, which points to it.
    PyObject* hold(PyObject* object) {
        checked_status(object != nullptr ? PyList_Append(snapshot.held_.ptr(), object) : 0);
        return object;
    }

    void watch(nb::handle object) {
        snapshot.objects_.push_back({hold(object.ptr()), parts_of(object.ptr())});
        for (PyObject* part : snapshot.objects_.back().parts) {
            hold(part);
        }
    }

    // The record of `dict`: all its items when `whole`, else the names looked
    // up in it, returned for them (null when the dict is recorded whole).
    WatchedDict* watch_dict(nb::handle dict, bool whole) {
        auto& dicts = snapshot.dicts_;
        auto found = std::find_if(dicts.begin(), dicts.end(), [&](const WatchedDict& watched) {
            return watched.dict == dict.ptr() && (watched.whole || !whole);
        });
        if (found == dicts.end()) {
            found = dicts.insert(dicts.end(), WatchedDict{hold(dict.ptr()), {}, whole});
            if (whole) {
                for_each_item(dict, [&](nb::handle key, nb::handle value) {
                    found->items.emplace_back(hold(key.ptr()), hold(value.ptr()));
                });
            }
        }
        return found->whole ? nullptr : &*found;
    }

    // A function (unwrapped from a staticmethod or classmethod), a class, a
    // C function, the cache of offsets (the native parser calls it too), or
    // a constant, followed through what it holds (gc.get_referents) up to
    // the callables in it: a dict met on the way is recorded whole.
    void reach(nb::handle value) {
        PyObject* object = value.ptr();
        if (PyObject_TypeCheck(object, &PyStaticMethod_Type) ||
            PyObject_TypeCheck(object, &PyClassMethod_Type)) {
            return reach(value.attr("__func__"_id));
        }
        if (PyModule_Check(object) || !seen.insert(object).second) {
            return;
        }
        if (PyFunction_Check(object)) {
            watch_function(value);
        } else if (PyType_Check(object)) {
            watch_class(value);
        } else if (PyCallable_Check(object)) {
            trusted = trusted && (PyCFunction_Check(object) || object == snapshot.offset_timezone_);
        } else {
            if (PyDict_CheckExact(object)) {
                watch_dict(value, true);
            }
            for_each(import_module("gc"_id).attr("get_referents"_id)(value), [&](nb::handle held) {
                if (!PyCallable_Check(held.ptr())) {
                    reach(held);
                }
            });
        }
    }

    void watch_function(nb::handle function) {
        watch(function);
        nb::object names = checked(PySet_New(nullptr));
        collect_names(PyFunction_GET_CODE(function.ptr()), names);
        check_origin(function, names);
        nb::object globals = nb::borrow(PyFunction_GET_GLOBALS(function.ptr()));
        nb::object builtins = function.attr("__builtins__"_id);
        for_each(names, [&](nb::handle name) { look_up(name, globals, builtins); });
        for (nb::handle defaults : {PyFunction_GET_DEFAULTS(function.ptr()),
                                    PyFunction_GET_KW_DEFAULTS(function.ptr())}) {
            if (defaults.is_valid()) {
                reach(defaults);
            }
        }
    }

    // Where `name` is found when the code runs: in its globals, else in its
    // builtins, which must then be the interpreter's own. Absent counts too.
    void look_up(nb::handle name, nb::handle globals, nb::handle builtins) {
        for (nb::handle names : {globals, builtins}) {
            if (!PyDict_CheckExact(names.ptr())) {
                trusted = false;
                return;
            }
            PyObject* found = nullptr;
            const bool present = checked_status(PyDict_GetItemRef(names.ptr(), name.ptr(), &found));
            nb::object value = nb::steal(found);
            if (WatchedDict* watched = watch_dict(names, false);
                watched != nullptr && looked_up.insert({names.ptr(), name.ptr()}).second) {
                watched->items.emplace_back(hold(name.ptr()), hold(found));
            }
            if (present) {
                trusted =
                    trusted && (names.is(globals) || is_interpreter_builtin(name, value, names));
                return reach(value);
            }
        }
    }

    // Classes of tomllib's own modules; the others its code names are the
    // interpreter's or the standard library's, watched where they are named.
    void watch_class(nb::handle type) {
        const std::string owner = text_attribute(type, "__module__"_id);
        if (owner != "tomllib" && !owner.starts_with("tomllib.")) {
            return;
        }
        watch(type);
        nb::object dict = checked(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type.ptr())));
        watch_dict(dict, true);
        for_each_item(dict, [&](nb::handle, nb::handle value) { reach(value); });
        for_each(reinterpret_cast<PyTypeObject*>(type.ptr())->tp_mro,
                 [&](nb::handle base) { reach(base); });
    }

    // A function tomllib's code may run must come from the standard
    // library's files, or be compiled from text (as namedtuple compiles
    // `__new__`) to name nothing but what its own globals hold; one from
    // tomllib's own files must also have the defaults those files give it.
    void check_origin(nb::handle function, nb::handle names) {
        const std::string file =
            text_attribute(PyFunction_GET_CODE(function.ptr()), "co_filename"_id);
        if (file == "<string>") {
            for_each(names, [&](nb::handle name) {
                trusted = trusted && contains(PyFunction_GET_GLOBALS(function.ptr()), name);
            });
            return;
        }
        trusted = trusted && file.starts_with(library);
        if (file.starts_with(library + "tomllib/")) {
            trusted = trusted && PyFunction_GET_DEFAULTS(function.ptr()) == nullptr;
            if (PyObject* keyword_defaults = PyFunction_GET_KW_DEFAULTS(function.ptr())) {
                for_each_item(keyword_defaults, [&](nb::handle key, nb::handle value) {
                    trusted = trusted && is_standard_keyword_default(key, value);
                });
            }
        }
    }
};

std::unique_ptr<TomllibSnapshot> TomllibSnapshot::take(nb::handle reader) {
    // The standard library's directory is where `os` came from: imported as
    // the interpreter starts, before any directory of the user's is on the path.
    const std::string os_file = text_attribute(import_module("os"_id), "__file__"_id);
    const std::string library = os_file.substr(0, os_file.rfind('/') + 1);
    const std::vector<nb::object> modules = standard_modules(reader, library);
    if (library.empty() || modules.empty()) {
        return nullptr;
    }
    std::unique_ptr<TomllibSnapshot> snapshot(new TomllibSnapshot());
    snapshot->held_ = checked(PyList_New(0));
    Recorder recorder{*snapshot, library, {}, {}};
    nb::object io = import_module("io"_id);
    snapshot->module_ = recorder.hold(reader.ptr());
    snapshot->offset_timezone_ = recorder.hold(optional_attr(modules[2], "cached_tz"_id).ptr());
    snapshot->buffered_reader_type_ = recorder.hold(io.attr("BufferedReader"_id).ptr());
    snapshot->bytes_io_type_ = recorder.hold(io.attr("BytesIO"_id).ptr());
    for (const nb::object& module : modules) {
        recorder.watch_dict(PyModule_GetDict(module.ptr()), true);
    }
    // A read hands the file to `load`: it must be the parser's own.
    nb::object load = optional_attr(reader, "load"_id);
    if (!load.is_valid() || !PyFunction_Check(load.ptr()) ||
        text_attribute(PyFunction_GET_CODE(load.ptr()), "co_filename"_id) !=
            library + "tomllib/_parser.py") {
        return nullptr;
    }
    recorder.reach(load);
    snapshot->load_ = {load.ptr(), parts_of(load.ptr())};
    return recorder.trusted && snapshot->offset_timezone_ != nullptr ? std::move(snapshot)
                                                                     : nullptr;
}

bool TomllibSnapshot::WatchedDict::unchanged() const {
    if (whole && PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(items.size())) {
        return false;
    }
    // Usually a dict recorded whole holds the same items in the same order.
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    size_t index = 0;
    while (whole && PyDict_Next(dict, &position, &key, &value) && key == items[index].first &&
           value == items[index].second) {
        ++index;
    }
    // Names rebound and restored, or deleted and added again, keep their objects, not places.
    return (whole && index == items.size()) ||
           std::all_of(items.begin(), items.end(), [&](const auto& item) {
               PyObject* found = nullptr;
               checked_status(PyDict_GetItemRef(dict, item.first, &found));
               return nb::steal(found).ptr() == item.second;
           });
}

bool TomllibSnapshot::WatchedObject::unchanged() const {
    return parts_of(object) == parts;
}

bool TomllibSnapshot::unchanged(nb::handle reader) const {
    auto same = [](const auto& watched) { return watched.unchanged(); };
    return load_unchanged(reader) && std::all_of(objects_.begin(), objects_.end(), same) &&
           std::all_of(dicts_.begin(), dicts_.end(), same);
}

bool TomllibSnapshot::load_unchanged(nb::handle reader) const {
    PyObject* load = nullptr;
    if (module_ == nullptr || !reader.is(module_) || !PyModule_CheckExact(module_) ||
        checked_status(PyDict_GetItemRef(PyModule_GetDict(module_), "load"_id, &load)) == 0) {
        return false;
    }
    return nb::steal(load).is(load_.object) && load_.unchanged();
}

int TomllibSnapshot::traverse(visitproc visit, void* arg) const {
    return held_.is_valid() ? visit(held_.ptr(), arg) : 0;
}

void TomllibSnapshot::clear() {
    const nb::object held = std::move(held_); // released once nothing points into it
    *this = TomllibSnapshot();
}

} // namespace qivo
