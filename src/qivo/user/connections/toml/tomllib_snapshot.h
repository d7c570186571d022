// The standard library's tomllib as the module found it when it was set up:
// what the store reader checks once it has read the store's bytes and before
// it parses them natively instead of calling tomllib.load, so that the
// native parse is taken only when nobody could tell it from tomllib's own.
//
// One rule says what is recorded: everything tomllib.load can reach when it
// runs. A function (unwrapped from a staticmethod or classmethod) with its
// code, defaults and keyword defaults, and, for each name its code uses
// (nested code included), where that name is found when the code runs: in
// its globals, else in its builtins (absent from both counts too), what is
// found being reached in turn. A class of tomllib's own modules with its
// metaclass, its bases (the method resolution order) and every member of its
// dict. Any other value, a constant, through what the garbage collector sees
// it hold, up to the callables in it: every dict met on the way (behind a
// mapping proxy, in a compiled pattern, a default) item by item. And the
// dicts of tomllib's modules, every name in them. `unchanged()` compares all
// of it by identity, which is enough: code objects, strings, tuples,
// frozensets and patterns cannot change in place.
//
// What it defends against: any change made from Python after the import,
// including while the store is being read: a rebound or added name or
// builtin, code or defaults replaced, tomllib's module class swapped, a
// class's bases changed, a table behind a mapping proxy changed through
// gc.get_referents. At the import it trusts only the standard library's own
// tomllib: its modules loaded from the standard library's files, `load` from
// its parser's file, every function reached compiled from the standard
// library's files (or from text, naming nothing but what its own globals
// hold, as namedtuple compiles `__new__`), tomllib's own functions with the
// defaults those files give them, builtins that are the interpreter's own,
// and no other callables than C functions and tomllib's cache of offsets.
//
// What it cannot see: what a callable that is not a Python function holds
// (that cache, which the native parser calls too); the contents of closure
// cells (the functions loads() runs have none); before the import, a
// constant replaced in tomllib's modules, or code put in place of
// namedtuple's that names only what its globals hold; and changes made
// through the C API or ctypes, which no reader could guard against.
#pragma once

#include "runtime/capi.h"

#include <array>
#include <memory>
#include <utility>
#include <vector>

namespace qivo {

class TomllibSnapshot {
public:
    // Records `reader` if it is the genuine tomllib of the standard library
    // (its package and submodules loaded from the standard library's own
    // directory); null for any other reader.
    static std::unique_ptr<TomllibSnapshot> take(nb::handle reader);

    // Whether `reader` is the recorded module and nothing recorded has
    // changed since.
    bool unchanged(nb::handle reader) const;

    // Whether `reader.load` is still tomllib's own load, with its code and
    // defaults: the function that a call `reader.load(file)` hands the file.
    bool load_unchanged(nb::handle reader) const;

    // tomllib's own cache of numeric time-zone offsets.
    nb::handle offset_timezone() const { return offset_timezone_; }

    // io.BufferedReader, what open() returns for binary reading, and
    // io.BytesIO.
    nb::handle buffered_reader_type() const { return buffered_reader_type_; }
    nb::handle bytes_io_type() const { return bytes_io_type_; }

    // The module's GC support: visits, and drops, every reference it owns.
    int traverse(visitproc visit, void* arg) const;
    void clear();

private:
    // A dict and the items it held: all of them when `whole`, else those
    // under the names looked up in it (an absent name with a null value).
    struct WatchedDict {
        PyObject* dict;
        std::vector<std::pair<PyObject*, PyObject*>> items;
        bool whole;
        bool unchanged() const;
    };
    // An object and what can change about it while it stays the same object.
    struct WatchedObject {
        PyObject* object;
        std::array<PyObject*, 3> parts;
        bool unchanged() const;
    };
    struct Recorder; // what take() walks with

    nb::object held_; // a list owning every object the pointers below borrow
    PyObject* module_ = nullptr;
    PyObject* offset_timezone_ = nullptr;
    PyObject* buffered_reader_type_ = nullptr;
    PyObject* bytes_io_type_ = nullptr;
    WatchedObject load_{};
    std::vector<WatchedDict> dicts_;
    std::vector<WatchedObject> objects_;
};

} // namespace qivo
