// The standard library's tomllib as the module found it when it was set up:
// what the store reader checks before it parses the store natively instead
// of calling tomllib.load, so that the native parse is taken only when
// nobody could tell it from tomllib's own.
//
// What it defends against: anything a program does through tomllib's public
// surface, before or after this module is imported. At import it trusts
// only the standard library's own tomllib: modules loaded from the standard
// library's files, functions whose code comes from those files (`load` and
// `loads` from the parser's), the keyword defaults the standard library
// gives them (`parse_float` is the built-in float), and builtins that are the
// interpreter's own types and functions. Afterwards it notices a rebound
// name in tomllib's modules or classes, replaced code or defaults of its
// functions, a module whose class was swapped, and a rebound builtin that
// tomllib's code uses: builtins are watched because tomllib's functions look
// them up on every call, so `builtins.float = Decimal` changes what tomllib
// returns.
//
// What it cannot see: changes made from inside objects it does not watch
// element by element, such as tomllib's internal tables (the frozensets and
// compiled patterns reached through `gc.get_referents`), or a code object
// forged with another file name. Those need deliberate tampering with the
// interpreter's internals, which no reader could guard against.
#pragma once

#include "runtime/capi.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qivo {

class TomllibSnapshot {
public:
    // Records `reader` if it is the genuine tomllib of the standard library
    // (its package and submodules loaded from the standard library's own
    // directory); null for any other reader.
    static std::unique_ptr<TomllibSnapshot> take(nb::handle reader);

    // Whether `reader` is the recorded module and nothing that tomllib.load
    // reads has changed since: the same objects in the dicts of tomllib and
    // its submodules and in its classes, the same code, defaults and
    // keyword defaults of its functions, the same builtins under the names
    // its code uses.
    bool unchanged(nb::handle reader) const;

    // tomllib's own cache of numeric time-zone offsets.
    nb::handle offset_timezone() const { return offset_timezone_; }

    // io.BufferedReader, what open() returns for binary reading, and
    // io.BytesIO.
    nb::handle buffered_reader_type() const { return buffered_reader_type_; }
    nb::handle bytes_io_type() const { return bytes_io_type_; }

    // The module's GC support: visits, and drops, every recorded reference.
    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    // A dict and the items it held; `whole` when it must hold nothing else.
    struct WatchedDict {
        nb::object dict;
        std::vector<std::pair<nb::object, nb::object>> items;
        bool whole;
        bool unchanged() const;
    };
    struct WatchedFunction {
        nb::object function, code, defaults, keyword_defaults;
        bool unchanged() const;
    };

    void watch_namespace(nb::handle dict, nb::handle module_names, nb::handle used_names);
    bool watch_builtins(nb::handle load, nb::handle used_names);
    void watch_function(nb::handle function, nb::handle used_names);
    void check_origin(nb::handle function, PyObject* keyword_defaults);

    nb::object module_;
    std::vector<nb::object> modules_; // tomllib and its submodules
    std::string library_directory_;   // the standard library's, with a final "/"
    bool trusted_ = true;
    std::vector<WatchedDict> dicts_;
    std::vector<WatchedFunction> functions_;
    nb::object offset_timezone_;
    nb::object buffered_reader_type_;
    nb::object bytes_io_type_;
};

} // namespace qivo
