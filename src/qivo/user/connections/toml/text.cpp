#include "toml/text.h"

#include "runtime/datetime_api.h"
#include "toml/limits.h"
#include "toml/scan.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>

namespace qivo {

namespace {

// Whether a single-quoted (literal) TOML string can hold the text as it is.
bool fits_literal_string(std::string_view text) {
    for (char c : text) {
        if (c == '\'' || is_forbidden_control(c)) {
            return false;
        }
    }
    return true;
}

// Counts the nesting of arrays and inline tables and refuses values nested
// deeper than any reader is sure to read back from any caller's stack (a
// value that contains itself included).
class NestingGuard {
public:
    explicit NestingGuard(int& depth) : depth_(depth) {
        if (depth_ == max_nesting) {
            raise_error(PyExc_ValueError,
                        "cannot write values nested more than %d levels deep to the connections "
                        "file",
                        max_nesting);
        }
        ++depth_;
    }
    ~NestingGuard() { --depth_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

private:
    int& depth_;
};

class TomlText {
public:
    std::string take() { return std::move(text_); }

    void append(std::string_view piece) { text_.append(piece); }

    // A table name or key: bare when TOML allows, else a quoted string.
    void key(nb::handle name) {
        if (!PyUnicode_Check(name.ptr())) {
            raise_error(PyExc_TypeError, "connections file names and keys must be str, not %.200s",
                        Py_TYPE(name.ptr())->tp_name);
        }
        std::string_view text = utf8_of(name);
        if (is_bare_key(text)) {
            text_.append(text);
        } else {
            basic_string(text);
        }
    }

    // `key = value` and a line feed.
    void entry(nb::handle name, nb::handle value) {
        key(name);
        text_.append(" = ");
        this->value(value);
        text_.push_back('\n');
    }

    void value(nb::handle value) {
        PyObject* object = value.ptr();
        if (PyUnicode_Check(object)) {
            string(utf8_of(value));
        } else if (PyBool_Check(object)) {
            text_.append(object == Py_True ? "true" : "false");
        } else if (object == Py_None) {
            text_.append("''");
        } else if (PyLong_Check(object)) {
            // int's own repr, not the value's: a subclass (an IntEnum, say)
            // may give itself another one, but its number is what is stored.
            nb::object digits = checked(PyLong_Type.tp_repr(object));
            text_.append(utf8_of(digits));
        } else if (PyFloat_Check(object)) {
            float_value(PyFloat_AS_DOUBLE(object));
        } else if (is_date_or_time(object)) {
            date_or_time(value);
        } else if (PyList_Check(object)) {
            array(value);
        } else if (PyDict_Check(object)) {
            inline_table(value);
        } else if (!import_datetime()) {
            raise_error(PyExc_TypeError,
                        "cannot write a value of type '%.200s' to the connections file "
                        "(supported: str, bool, int, float, None, list and dict; date and "
                        "time values need the interpreter's C datetime module, which is not "
                        "available)",
                        Py_TYPE(object)->tp_name);
        } else {
            raise_error(PyExc_TypeError,
                        "cannot write a value of type '%.200s' to the connections file "
                        "(supported: str, bool, int, float, None, datetime, date, time, "
                        "list and dict)",
                        Py_TYPE(object)->tp_name);
        }
    }

private:
    void string(std::string_view text) {
        if (fits_literal_string(text)) {
            text_.push_back('\'');
            text_.append(text);
            text_.push_back('\'');
        } else {
            basic_string(text);
        }
    }

    // A double-quoted string with escapes, for text that a literal string
    // cannot hold; the characters outside ASCII are written as they are.
    void basic_string(std::string_view text) {
        text_.push_back('"');
        for (unsigned char c : text) {
            switch (c) {
            case '"':
                text_.append("\\\"");
                break;
            case '\\':
                text_.append("\\\\");
                break;
            case '\b':
                text_.append("\\b");
                break;
            case '\t':
                text_.append("\\t");
                break;
            case '\n':
                text_.append("\\n");
                break;
            case '\f':
                text_.append("\\f");
                break;
            case '\r':
                text_.append("\\r");
                break;
            default:
                if (is_control(static_cast<char>(c))) {
                    formatted("\\u%04X", static_cast<unsigned>(c));
                } else {
                    text_.push_back(static_cast<char>(c));
                }
            }
        }
        text_.push_back('"');
    }

    // The shortest text that reads back as the same number, as repr() gives
    // it; inf, -inf and nan are TOML's own spellings (with the sign of a
    // negative nan kept).
    void float_value(double number) {
        if (std::isnan(number) && std::signbit(number)) {
            text_.append("-nan");
            return;
        }
        std::unique_ptr<char, decltype(&PyMem_Free)> digits(
            PyOS_double_to_string(number, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr), PyMem_Free);
        if (!digits) {
            nb::raise_python_error();
        }
        text_.append(digits.get());
    }

    static bool is_date_or_time(PyObject* object) {
        return import_datetime() && (PyDate_Check(object) || PyTime_Check(object));
    }

    template <typename... Numbers>
    void formatted(const char* format, Numbers... numbers) {
        std::array<char, 32> buffer{};
        std::snprintf(buffer.data(), buffer.size(), format, numbers...);
        text_.append(buffer.data());
    }

    void clock(int hour, int minute, int second, int microsecond) {
        formatted("%02d:%02d:%02d", hour, minute, second);
        if (microsecond != 0) {
            formatted(".%06d", microsecond);
        }
    }

    // TOML date-times carry offsets in whole minutes of less than a day; a
    // naive value is a local date-time. A datetime subclass may make
    // utcoffset() return anything, so its result is checked.
    void offset(nb::handle value) {
        nb::object delta = call_method(value, "utcoffset"_id);
        if (delta.is_none()) {
            return;
        }
        if (!PyDelta_Check(delta.ptr())) {
            raise_error(PyExc_TypeError,
                        "cannot write %R to the connections file: utcoffset() returned %.200s, "
                        "not a timedelta",
                        value.ptr(), Py_TYPE(delta.ptr())->tp_name);
        }
        const long long days = PyDateTime_DELTA_GET_DAYS(delta.ptr());
        const long long seconds = PyDateTime_DELTA_GET_SECONDS(delta.ptr());
        const int microseconds = PyDateTime_DELTA_GET_MICROSECONDS(delta.ptr());
        const long long total = days * 86400 + seconds;
        if (microseconds != 0 || total % 60 != 0 || total <= -86400 || total >= 86400) {
            raise_error(PyExc_ValueError,
                        "cannot write %R to the connections file: TOML offsets are whole minutes "
                        "of less than a day",
                        value.ptr());
        }
        const int minutes = static_cast<int>(total < 0 ? -total / 60 : total / 60);
        text_.push_back(total < 0 ? '-' : '+');
        formatted("%02d:%02d", minutes / 60, minutes % 60);
    }

    void date_or_time(nb::handle value) {
        PyObject* object = value.ptr();
        if (PyTime_Check(object)) {
            if (!Py_IsNone(PyDateTime_TIME_GET_TZINFO(object))) {
                raise_error(PyExc_ValueError,
                            "cannot write %R to the connections file: TOML times have no "
                            "time zone",
                            object);
            }
            clock(PyDateTime_TIME_GET_HOUR(object), PyDateTime_TIME_GET_MINUTE(object),
                  PyDateTime_TIME_GET_SECOND(object), PyDateTime_TIME_GET_MICROSECOND(object));
            return;
        }
        formatted("%04d-%02d-%02d", PyDateTime_GET_YEAR(object), PyDateTime_GET_MONTH(object),
                  PyDateTime_GET_DAY(object));
        if (PyDateTime_Check(object)) {
            text_.push_back('T');
            clock(PyDateTime_DATE_GET_HOUR(object), PyDateTime_DATE_GET_MINUTE(object),
                  PyDateTime_DATE_GET_SECOND(object), PyDateTime_DATE_GET_MICROSECOND(object));
            offset(value);
        }
    }

    void array(nb::handle list) {
        NestingGuard guard(depth_);
        text_.push_back('[');
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
            nb::object item = nb::borrow(PyList_GET_ITEM(list.ptr(), i));
            if (i > 0) {
                text_.append(", ");
            }
            value(item);
        }
        text_.push_back(']');
    }

    void inline_table(nb::handle mapping) {
        NestingGuard guard(depth_);
        bool first = true;
        text_.push_back('{');
        for_each_item(mapping, [&](nb::handle name, nb::handle item) {
            text_.append(first ? " " : ", ");
            first = false;
            key(name);
            text_.append(" = ");
            value(item);
        });
        text_.append(first ? "}" : " }");
    }

    std::string text_;
    int depth_ = 0;
};

} // namespace

std::string render_store_text(nb::handle connections) {
    // Entries outside any table (possible in a hand-edited file) must come
    // before the first table header to stay outside every table.
    TomlText top_level;
    TomlText tables;
    for_each_item(connections, [&](nb::handle name, nb::handle table) {
        if (!PyDict_Check(table.ptr())) {
            top_level.entry(name, table);
            return;
        }
        tables.append("[");
        tables.key(name);
        tables.append("]\n\n");
        for_each_item(table, [&](nb::handle key, nb::handle value) { tables.entry(key, value); });
        tables.append("\n");
    });
    std::string text = top_level.take();
    if (!text.empty()) {
        text.push_back('\n');
    }
    text.append(tables.take());
    return text;
}

} // namespace qivo
