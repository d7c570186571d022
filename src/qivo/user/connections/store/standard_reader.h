// The standard library's tomllib as the module found it when it was set up:
// what the store reader checks before it parses the store natively instead
// of calling tomllib.load, so that the native parse is taken only when
// nobody could tell it from tomllib's own.
#pragma once

#include "runtime/capi.h"

#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace qivo {

class StandardReaderSnapshot {
public:
    // Records `reader` if it is the genuine tomllib of the standard library
    // (its package and submodules loaded from the standard library's own
    // directory); null for any other reader.
    static std::unique_ptr<StandardReaderSnapshot> take(nb::handle reader);

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

    nb::object module_;
    std::vector<WatchedDict> dicts_;
    std::vector<WatchedFunction> functions_;
    nb::object offset_timezone_;
    nb::object buffered_reader_type_;
    nb::object bytes_io_type_;
};

} // namespace qivo
