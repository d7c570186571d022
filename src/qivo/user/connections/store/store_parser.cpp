#include "store/store_parser.h"

#include "store/toml_text.h"

#include "runtime/datetime_api.h"

#include <string>

namespace qivo {

namespace {

// Thrown to give up on the text; caught once, in parse_store_text.
struct Declined {};

[[noreturn]] void decline() {
    throw Declined{};
}

// Takes the result of a constructor that refuses invalid values with
// ValueError (UnicodeDecodeError included): such a refusal declines the text,
// since tomllib then reports it in its own words; any other error propagates.
nb::object built(PyObject* result) {
    if (result == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            decline();
        }
        nb::raise_python_error();
    }
    return nb::steal(result);
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_bare_key_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '_' || c == '-';
}

// The characters that no single-line string and no comment may hold as they
// are: the ASCII control characters except the tab.
bool is_forbidden_control(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7f;
}

bool in_range(char c, char low, char high) {
    return c >= low && c <= high;
}

int two_digits(const char* at) {
    return (at[0] - '0') * 10 + (at[1] - '0');
}

// A time of day as tomllib reads one: HH:MM:SS with hours 00-23, minutes and
// seconds 00-59, and an optional fraction of which the first six digits are
// the microseconds (fewer are padded with zeros, further ones are dropped).
struct Clock {
    int hour = 0;
    int minute = 0;
    int second = 0;
    int microsecond = 0;
    const char* end = nullptr; // just past the clock's text
};

bool match_clock(const char* at, const char* end, Clock& clock) {
    if (end - at < 8 ||
        !(in_range(at[0], '0', '1') ? is_digit(at[1])
                                    : at[0] == '2' && in_range(at[1], '0', '3')) ||
        at[2] != ':' || !in_range(at[3], '0', '5') || !is_digit(at[4]) || at[5] != ':' ||
        !in_range(at[6], '0', '5') || !is_digit(at[7])) {
        return false;
    }
    clock.hour = two_digits(at);
    clock.minute = two_digits(at + 3);
    clock.second = two_digits(at + 6);
    clock.microsecond = 0;
    at += 8;
    if (end - at >= 2 && at[0] == '.' && is_digit(at[1])) {
        ++at;
        int digits = 0;
        for (; at < end && is_digit(*at); ++at, ++digits) {
            if (digits < 6) {
                clock.microsecond = clock.microsecond * 10 + (*at - '0');
            }
        }
        for (; digits < 6; ++digits) {
            clock.microsecond *= 10;
        }
    }
    clock.end = at;
    return true;
}

class StoreTextParser {
public:
    StoreTextParser(std::string_view text, nb::handle offset_timezone)
        : at_(text.data()), end_(text.data() + text.size()), offset_timezone_(offset_timezone) {}

    // One statement per line: a table header, a `key = value` entry or
    // nothing, each with an optional comment.
    nb::object document() {
        nb::object root = checked(PyDict_New());
        nb::object table = root;
        for (;;) {
            skip_whitespace();
            if (at_ == end_) {
                break;
            }
            if (*at_ == '\n') {
                ++at_;
                continue;
            }
            if (*at_ == '[') {
                table = table_header(root);
                skip_whitespace();
            } else if (*at_ != '#') {
                entry(table, 1);
                skip_whitespace();
            }
            skip_comment();
            if (at_ == end_) {
                break;
            }
            if (*at_ != '\n') {
                decline();
            }
            ++at_;
        }
        return root;
    }

private:
    bool next_is(char c) const { return at_ != end_ && *at_ == c; }

    // Steps over `c` when it comes next.
    bool skip(char c) {
        if (!next_is(c)) {
            return false;
        }
        ++at_;
        return true;
    }

    bool starts_with(std::string_view prefix) const {
        return static_cast<size_t>(end_ - at_) >= prefix.size() &&
               std::string_view(at_, prefix.size()) == prefix;
    }

    void expect(char c) {
        if (!next_is(c)) {
            decline();
        }
        ++at_;
    }

    void skip_whitespace() {
        while (at_ != end_ && (*at_ == ' ' || *at_ == '\t')) {
            ++at_;
        }
    }

    // A comment runs to the end of the line; the line feed is left.
    void skip_comment() {
        if (!next_is('#')) {
            return;
        }
        const char* start = ++at_;
        bool ascii = true;
        for (; at_ != end_ && *at_ != '\n'; ++at_) {
            if (is_forbidden_control(*at_)) {
                decline();
            }
            ascii = ascii && static_cast<unsigned char>(*at_) < 0x80;
        }
        if (!ascii) {
            // The text of a comment is dropped, but it must be valid UTF-8
            // like the whole document.
            decode(start, at_);
        }
    }

    // Between the values of an array: spaces, tabs, line feeds and comments.
    void skip_array_space() {
        for (;;) {
            while (at_ != end_ && (*at_ == ' ' || *at_ == '\t' || *at_ == '\n')) {
                ++at_;
            }
            if (!next_is('#')) {
                return;
            }
            skip_comment();
        }
    }

    static nb::object decode(const char* start, const char* stop) {
        return built(PyUnicode_DecodeUTF8(start, stop - start, nullptr));
    }

    // Adds a name to a table that must not hold it yet: a name given twice
    // is an error in TOML.
    static void insert_new(nb::handle table, nb::handle key, nb::handle value) {
        if (checked_status(PyDict_SetDefaultRef(table.ptr(), key.ptr(), value.ptr(), nullptr)) !=
            0) {
            decline();
        }
    }

    // `[name]`: a new table in the root. Dotted names, which make nested
    // tables, and `[[name]]`, arrays of tables, are left to tomllib.
    nb::object table_header(nb::handle root) {
        ++at_;
        if (next_is('[')) {
            decline();
        }
        skip_whitespace();
        nb::object name = key();
        skip_whitespace();
        expect(']');
        nb::object table = checked(PyDict_New());
        insert_new(root, name, table);
        return table;
    }

    // `key = value`, the key a single (undotted) name.
    void entry(nb::handle table, int depth) {
        nb::object name = key();
        skip_whitespace();
        expect('=');
        skip_whitespace();
        nb::object item = value(depth);
        insert_new(table, name, item);
    }

    nb::object key() {
        if (at_ != end_ && is_bare_key_char(*at_)) {
            const char* start = at_;
            while (at_ != end_ && is_bare_key_char(*at_)) {
                ++at_;
            }
            return decode(start, at_);
        }
        if (next_is('\'')) {
            return literal_string();
        }
        if (next_is('"')) {
            return basic_string();
        }
        decline();
    }

    // A value that starts at the current position; `depth` counts the arrays
    // and inline tables it would open.
    nb::object value(int depth) {
        if (at_ == end_) {
            decline();
        }
        switch (*at_) {
        case '"':
            if (starts_with("\"\"\"")) {
                decline(); // multi-line basic string
            }
            return basic_string();
        case '\'':
            if (starts_with("'''")) {
                decline(); // multi-line literal string
            }
            return literal_string();
        case 't':
            return keyword("true", Py_True);
        case 'f':
            return keyword("false", Py_False);
        case '[':
            return array(depth);
        case '{':
            return inline_table(depth);
        default:
            break;
        }
        if (is_digit(*at_)) {
            if (nb::object moment = date_or_date_time(); moment.is_valid()) {
                return moment;
            }
            if (nb::object time = local_time(); time.is_valid()) {
                return time;
            }
        }
        return number();
    }

    nb::object keyword(std::string_view word, PyObject* meaning) {
        if (!starts_with(word)) {
            decline();
        }
        at_ += word.size();
        return nb::borrow(meaning);
    }

    // '...': the text as it is, without control characters but the tab.
    nb::object literal_string() {
        const char* start = ++at_;
        while (at_ != end_ && *at_ != '\'') {
            if (is_forbidden_control(*at_)) {
                decline();
            }
            ++at_;
        }
        if (at_ == end_) {
            decline();
        }
        nb::object text = decode(start, at_);
        ++at_;
        return text;
    }

    // "...": text with the escapes \b \t \n \f \r \" \\ \uXXXX \UXXXXXXXX.
    nb::object basic_string() {
        const char* piece = ++at_;
        bool escaped = false;
        for (;;) {
            while (at_ != end_ && *at_ != '"' && *at_ != '\\' && !is_forbidden_control(*at_)) {
                ++at_;
            }
            if (at_ == end_ || is_forbidden_control(*at_)) {
                decline();
            }
            if (*at_ == '"') {
                break;
            }
            if (!escaped) {
                scratch_.clear();
                escaped = true;
            }
            scratch_.append(piece, at_);
            escape();
            piece = at_;
        }
        nb::object text;
        if (escaped) {
            scratch_.append(piece, at_);
            text = decode(scratch_.data(), scratch_.data() + scratch_.size());
        } else {
            text = decode(piece, at_);
        }
        ++at_;
        return text;
    }

    // Appends the character that the escape at the current position stands
    // for to the scratch text, as UTF-8.
    void escape() {
        if (end_ - at_ < 2) {
            decline();
        }
        const char kind = at_[1];
        at_ += 2;
        switch (kind) {
        case 'b':
            scratch_.push_back('\b');
            return;
        case 't':
            scratch_.push_back('\t');
            return;
        case 'n':
            scratch_.push_back('\n');
            return;
        case 'f':
            scratch_.push_back('\f');
            return;
        case 'r':
            scratch_.push_back('\r');
            return;
        case '"':
            scratch_.push_back('"');
            return;
        case '\\':
            scratch_.push_back('\\');
            return;
        case 'u':
            code_point(4);
            return;
        case 'U':
            code_point(8);
            return;
        default:
            decline();
        }
    }

    void code_point(int digits) {
        if (end_ - at_ < digits) {
            decline();
        }
        unsigned long code = 0;
        for (int i = 0; i < digits; ++i, ++at_) {
            if (!is_hex_digit(*at_)) {
                decline();
            }
            const char c = *at_;
            const unsigned long digit = static_cast<unsigned long>(
                is_digit(c) ? c - '0' : (c >= 'a' ? c - 'a' : c - 'A') + 10);
            code = code * 16 + digit;
        }
        // Only Unicode scalar values: no surrogates, nothing past U+10FFFF.
        if (code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            decline();
        }
        auto byte = [](unsigned long bits) { return static_cast<char>(bits); };
        if (code < 0x80) {
            scratch_.push_back(byte(code));
        } else if (code < 0x800) {
            scratch_.push_back(byte(0xc0 | (code >> 6)));
            scratch_.push_back(byte(0x80 | (code & 0x3f)));
        } else if (code < 0x10000) {
            scratch_.push_back(byte(0xe0 | (code >> 12)));
            scratch_.push_back(byte(0x80 | ((code >> 6) & 0x3f)));
            scratch_.push_back(byte(0x80 | (code & 0x3f)));
        } else {
            scratch_.push_back(byte(0xf0 | (code >> 18)));
            scratch_.push_back(byte(0x80 | ((code >> 12) & 0x3f)));
            scratch_.push_back(byte(0x80 | ((code >> 6) & 0x3f)));
            scratch_.push_back(byte(0x80 | (code & 0x3f)));
        }
    }

    // [value, value, ...], over any number of lines, with comments and an
    // optional comma after the last value.
    nb::object array(int depth) {
        if (depth > max_nesting) {
            decline();
        }
        ++at_;
        nb::object list = checked(PyList_New(0));
        skip_array_space();
        if (skip(']')) {
            return list;
        }
        for (;;) {
            nb::object item = value(depth + 1);
            checked_status(PyList_Append(list.ptr(), item.ptr()));
            skip_array_space();
            if (skip(']')) {
                return list;
            }
            expect(',');
            skip_array_space();
            if (skip(']')) { // a comma after the last value
                return list;
            }
        }
    }

    // { key = value, ... } on one line, without a comma after the last entry.
    nb::object inline_table(int depth) {
        if (depth > max_nesting) {
            decline();
        }
        ++at_;
        nb::object table = checked(PyDict_New());
        skip_whitespace();
        if (skip('}')) {
            return table;
        }
        for (;;) {
            entry(table, depth + 1);
            skip_whitespace();
            if (skip('}')) {
                return table;
            }
            expect(',');
            skip_whitespace();
        }
    }

    // YYYY-MM-DD, optionally followed by `T`, `t` or a space and a clock, and
    // that by `Z`, `z` or an offset ±HH:MM; an empty object when the text
    // there is no date. The month and day are checked for their digits only
    // here: the datetime constructors refuse days that do not exist.
    nb::object date_or_date_time() {
        const char* at = at_;
        if (end_ - at < 10 || !is_digit(at[0]) || !is_digit(at[1]) || !is_digit(at[2]) ||
            !is_digit(at[3]) || at[4] != '-' ||
            !(at[5] == '0' ? in_range(at[6], '1', '9')
                           : at[5] == '1' && in_range(at[6], '0', '2')) ||
            at[7] != '-' ||
            !(at[8] == '0'   ? in_range(at[9], '1', '9')
              : at[8] == '3' ? in_range(at[9], '0', '1')
                             : in_range(at[8], '1', '2') && is_digit(at[9]))) {
            return {};
        }
        const int year = two_digits(at) * 100 + two_digits(at + 2);
        const int month = two_digits(at + 5);
        const int day = two_digits(at + 8);
        at += 10;
        Clock clock;
        if (at == end_ || (*at != 'T' && *at != 't' && *at != ' ') ||
            !match_clock(at + 1, end_, clock)) {
            at_ = at;
            return built(PyDateTimeAPI->Date_FromDate(year, month, day, PyDateTimeAPI->DateType));
        }
        at = clock.end;
        nb::object zone = nb::none();
        if (at != end_ && (*at == 'Z' || *at == 'z')) {
            zone = nb::borrow(PyDateTime_TimeZone_UTC);
            ++at;
        } else if (end_ - at >= 6 && (*at == '+' || *at == '-') &&
                   (in_range(at[1], '0', '1') ? is_digit(at[2])
                                              : at[1] == '2' && in_range(at[2], '0', '3')) &&
                   at[3] == ':' && in_range(at[4], '0', '5') && is_digit(at[5])) {
            nb::object hours = decode(at + 1, at + 3);
            nb::object minutes = decode(at + 4, at + 6);
            nb::object sign = decode(at, at + 1);
            zone = built(PyObject_CallFunctionObjArgs(offset_timezone_.ptr(), hours.ptr(),
                                                      minutes.ptr(), sign.ptr(), nullptr));
            at += 6;
        }
        at_ = at;
        return built(PyDateTimeAPI->DateTime_FromDateAndTime(
            year, month, day, clock.hour, clock.minute, clock.second, clock.microsecond, zone.ptr(),
            PyDateTimeAPI->DateTimeType));
    }

    // HH:MM:SS[.fraction], or an empty object when the text there is none.
    nb::object local_time() {
        Clock clock;
        if (!match_clock(at_, end_, clock)) {
            return {};
        }
        at_ = clock.end;
        return built(PyDateTimeAPI->Time_FromTime(clock.hour, clock.minute, clock.second,
                                                  clock.microsecond, Py_None,
                                                  PyDateTimeAPI->TimeType));
    }

    // Decimal integers and floats without underscores, and inf and nan with
    // an optional sign. A float is made by float() of its text and an integer
    // by int(text, 0), as tomllib makes them. Hexadecimal, octal and binary
    // integers stop after their leading 0, and the caller declines the rest.
    nb::object number() {
        const char* start = at_;
        const char* at = at_;
        if (at != end_ && (*at == '+' || *at == '-')) {
            ++at;
        }
        const auto rest = static_cast<size_t>(end_ - at);
        std::string_view tail(at, rest < 3 ? rest : 3);
        if (tail == "inf" || tail == "nan") {
            at_ = at + 3;
            return float_of(start, at_);
        }
        if (at == end_ || !is_digit(*at)) {
            decline();
        }
        if (*at++ != '0') {
            while (at != end_ && is_digit(*at)) {
                ++at;
            }
        }
        bool is_float = false;
        if (end_ - at >= 2 && at[0] == '.' && is_digit(at[1])) {
            for (at += 2; at != end_ && is_digit(*at); ++at) {
            }
            is_float = true;
        }
        if (at != end_ && (*at == 'e' || *at == 'E')) {
            const char* exponent = at + 1;
            if (exponent != end_ && (*exponent == '+' || *exponent == '-')) {
                ++exponent;
            }
            if (exponent != end_ && is_digit(*exponent)) {
                for (at = exponent + 1; at != end_ && is_digit(*at); ++at) {
                }
                is_float = true;
            }
        }
        at_ = at;
        if (is_float) {
            return float_of(start, at);
        }
        scratch_.assign(start, at); // NUL-terminated, as PyLong_FromString reads it
        return built(PyLong_FromString(scratch_.c_str(), nullptr, 0));
    }

    static nb::object float_of(const char* start, const char* stop) {
        nb::object text = decode(start, stop);
        return built(PyFloat_FromString(text.ptr()));
    }

    const char* at_;
    const char* end_;
    nb::handle offset_timezone_;
    std::string scratch_; // escaped strings and integers, reused
};

} // namespace

nb::object parse_store_text(std::string_view text, nb::handle offset_timezone) {
    // Without the C datetime API no date-time object can be built here:
    // every text goes to tomllib.
    if (!import_datetime()) {
        return {};
    }
    try {
        return StoreTextParser(text, offset_timezone).document();
    } catch (const Declined&) {
        return {};
    }
}

} // namespace qivo
