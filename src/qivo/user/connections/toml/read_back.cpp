#include "toml/read_back.h"

#include "runtime/datetime_api.h"

#include <cmath>
#include <utility>
#include <vector>

namespace qivo {

namespace {

using Items = std::vector<std::pair<nb::object, nb::object>>;

// The entries of a mapping in the order the writer meets them.
Items items_of(nb::handle mapping) {
    Items items;
    for_each_item(mapping, [&](nb::handle key, nb::handle value) {
        items.emplace_back(nb::borrow(key), nb::borrow(value));
    });
    return items;
}

bool same_text(nb::handle parsed, nb::handle given) {
    return PyUnicode_CheckExact(parsed.ptr()) && PyUnicode_Check(given.ptr()) &&
           PyUnicode_Compare(parsed.ptr(), given.ptr()) == 0;
}

bool same_float(double parsed, double given) {
    if (std::isnan(parsed) || std::isnan(given)) {
        return std::isnan(parsed) && std::isnan(given) &&
               std::signbit(parsed) == std::signbit(given);
    }
    return parsed == given && std::signbit(parsed) == std::signbit(given);
}

// The offset of an aware date-time as (days, seconds, microseconds), or
// nothing when it is naive; a given object's utcoffset() may return
// anything, which then cannot match.
bool same_offset(nb::handle parsed, nb::handle given) {
    nb::object parsed_offset = call_method(parsed, "utcoffset"_id);
    nb::object given_offset = call_method(given, "utcoffset"_id);
    if (parsed_offset.is_none() || given_offset.is_none()) {
        return parsed_offset.is_none() && given_offset.is_none();
    }
    return PyDelta_Check(given_offset.ptr()) &&
           PyDateTime_DELTA_GET_DAYS(parsed_offset.ptr()) ==
               PyDateTime_DELTA_GET_DAYS(given_offset.ptr()) &&
           PyDateTime_DELTA_GET_SECONDS(parsed_offset.ptr()) ==
               PyDateTime_DELTA_GET_SECONDS(given_offset.ptr()) &&
           PyDateTime_DELTA_GET_MICROSECONDS(parsed_offset.ptr()) ==
               PyDateTime_DELTA_GET_MICROSECONDS(given_offset.ptr());
}

bool same_time_of_day(PyObject* p, PyObject* g) {
    return PyDateTime_TIME_GET_HOUR(p) == PyDateTime_TIME_GET_HOUR(g) &&
           PyDateTime_TIME_GET_MINUTE(p) == PyDateTime_TIME_GET_MINUTE(g) &&
           PyDateTime_TIME_GET_SECOND(p) == PyDateTime_TIME_GET_SECOND(g) &&
           PyDateTime_TIME_GET_MICROSECOND(p) == PyDateTime_TIME_GET_MICROSECOND(g);
}

bool same_day(PyObject* p, PyObject* g) {
    return PyDateTime_GET_YEAR(p) == PyDateTime_GET_YEAR(g) &&
           PyDateTime_GET_MONTH(p) == PyDateTime_GET_MONTH(g) &&
           PyDateTime_GET_DAY(p) == PyDateTime_GET_DAY(g);
}

bool same_clock_of_date_time(PyObject* p, PyObject* g) {
    return PyDateTime_DATE_GET_HOUR(p) == PyDateTime_DATE_GET_HOUR(g) &&
           PyDateTime_DATE_GET_MINUTE(p) == PyDateTime_DATE_GET_MINUTE(g) &&
           PyDateTime_DATE_GET_SECOND(p) == PyDateTime_DATE_GET_SECOND(g) &&
           PyDateTime_DATE_GET_MICROSECOND(p) == PyDateTime_DATE_GET_MICROSECOND(g);
}

bool same_date_or_time(nb::handle parsed, nb::handle given) {
    PyObject* p = parsed.ptr();
    PyObject* g = given.ptr();
    if (PyTime_Check(g)) {
        return PyTime_CheckExact(p) && same_time_of_day(p, g);
    }
    if (!PyDateTime_Check(g)) {
        return PyDate_CheckExact(p) && same_day(p, g);
    }
    return PyDateTime_CheckExact(p) && same_day(p, g) && same_clock_of_date_time(p, g) &&
           same_offset(parsed, given);
}

bool same_value(nb::handle parsed, nb::handle given);
bool same_table(nb::handle parsed_table, nb::handle given);

// Both sequences of entries hold the same keys and values, in order.
bool same_items(nb::handle parsed_table, const Items& given) {
    if (!PyDict_CheckExact(parsed_table.ptr()) ||
        PyDict_GET_SIZE(parsed_table.ptr()) != static_cast<Py_ssize_t>(given.size())) {
        return false;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    for (const auto& [given_key, given_value] : given) {
        if (!PyDict_Next(parsed_table.ptr(), &position, &key, &value)) {
            return false;
        }
        nb::object held_value = nb::borrow(value);
        if (!same_text(key, given_key) || !same_value(held_value, given_value)) {
            return false;
        }
    }
    return true;
}

// The given list is read again at each step: a value's utcoffset() may have
// changed it meanwhile.
bool same_list(nb::handle parsed, nb::handle given) {
    PyObject* p = parsed.ptr();
    PyObject* g = given.ptr();
    if (!PyList_CheckExact(p) || PyList_GET_SIZE(p) != PyList_GET_SIZE(g)) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(p); ++i) {
        if (i >= PyList_GET_SIZE(g)) {
            return false;
        }
        nb::object parsed_item = nb::borrow(PyList_GET_ITEM(p, i));
        nb::object given_item = nb::borrow(PyList_GET_ITEM(g, i));
        if (!same_value(parsed_item, given_item)) {
            return false;
        }
    }
    return PyList_GET_SIZE(p) == PyList_GET_SIZE(g);
}

// A table given as an exact dict is walked beside the parsed one; any other
// mapping through the items() it yields.
bool same_table(nb::handle parsed_table, nb::handle given) {
    if (!PyDict_CheckExact(given.ptr())) {
        return same_items(parsed_table, items_of(given));
    }
    if (!PyDict_CheckExact(parsed_table.ptr()) ||
        PyDict_GET_SIZE(parsed_table.ptr()) != PyDict_GET_SIZE(given.ptr())) {
        return false;
    }
    Py_ssize_t parsed_position = 0;
    Py_ssize_t given_position = 0;
    PyObject* parsed_key = nullptr;
    PyObject* parsed_value = nullptr;
    PyObject* given_key = nullptr;
    PyObject* given_value = nullptr;
    while (PyDict_Next(parsed_table.ptr(), &parsed_position, &parsed_key, &parsed_value)) {
        if (!PyDict_Next(given.ptr(), &given_position, &given_key, &given_value)) {
            return false;
        }
        nb::object held_parsed = nb::borrow(parsed_value);
        nb::object held_given = nb::borrow(given_value);
        if (!same_text(parsed_key, given_key) || !same_value(held_parsed, held_given)) {
            return false;
        }
    }
    // Nothing was added meanwhile (a value's utcoffset() can change the dict).
    return !PyDict_Next(given.ptr(), &given_position, &given_key, &given_value);
}

bool same_value(nb::handle parsed, nb::handle given) {
    PyObject* p = parsed.ptr();
    PyObject* g = given.ptr();
    if (g == Py_None) {
        return PyUnicode_CheckExact(p) && PyUnicode_GET_LENGTH(p) == 0;
    }
    if (PyUnicode_Check(g)) {
        return same_text(parsed, given);
    }
    if (PyBool_Check(g)) {
        return p == g;
    }
    if (PyLong_Check(g)) {
        // int's own comparison: a subclass may compare its own way.
        return PyLong_CheckExact(p) && is_true(checked(PyLong_Type.tp_richcompare(p, g, Py_EQ)));
    }
    if (PyFloat_Check(g)) {
        return PyFloat_CheckExact(p) && same_float(PyFloat_AS_DOUBLE(p), PyFloat_AS_DOUBLE(g));
    }
    // Without the C datetime API the writer writes no date or time value.
    if (import_datetime() && (PyDate_Check(g) || PyTime_Check(g))) {
        return same_date_or_time(parsed, given);
    }
    if (PyList_Check(g)) {
        return same_list(parsed, given);
    }
    if (PyDict_Check(g)) {
        return same_table(parsed, given);
    }
    return false;
}

} // namespace

bool reads_back_as(nb::handle parsed, nb::handle connections) {
    // The writer puts the entries outside any table before the tables.
    Items items = items_of(connections);
    Items ordered;
    for (bool tables : {false, true}) {
        for (const auto& item : items) {
            if (static_cast<bool>(PyDict_Check(item.second.ptr())) == tables) {
                ordered.push_back(item);
            }
        }
    }
    return same_items(parsed, ordered);
}

} // namespace qivo
