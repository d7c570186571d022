#include "toml/parser.h"

#include "toml/limits.h"
#include "toml/scan.h"

#include "runtime/datetime_api.h"

#include <optional>
#include <string>
#include <utility>

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

    static nb::object decode(std::string_view text) {
        return decode(text.data(), text.data() + text.size());
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

    // full-date, optionally followed by a time-delim, a partial-time and
    // that by a time-offset; an empty object when the text there is no date.
    nb::object date_or_date_time() {
        const std::optional<FullDate> date = match_full_date(at_, end_);
        if (!date) {
            return {};
        }
        std::optional<PartialTime> time;
        if (date->end != end_ && is_time_delimiter(*date->end)) {
            time = match_partial_time(date->end + 1, end_);
        }
        if (!time) {
            at_ = date->end;
            return built(PyDateTimeAPI->Date_FromDate(date->year, date->month, date->day,
                                                      PyDateTimeAPI->DateType));
        }
        const std::optional<TimeOffset> offset = match_time_offset(time->end, end_);
        nb::object zone = offset ? time_zone(*offset) : nb::none();
        at_ = offset ? offset->end : time->end;
        return built(PyDateTimeAPI->DateTime_FromDateAndTime(
            date->year, date->month, date->day, time->hour, time->minute, time->second,
            time->microsecond, zone.ptr(), PyDateTimeAPI->DateTimeType));
    }

    // UTC is the datetime module's own singleton; a numeric offset comes from
    // tomllib's cache, called as tomllib calls it.
    nb::object time_zone(const TimeOffset& offset) const {
        if (offset.utc) {
            return nb::borrow(PyDateTime_TimeZone_UTC);
        }
        nb::object hours = decode(offset.hours);
        nb::object minutes = decode(offset.minutes);
        nb::object sign = decode(offset.sign);
        return built(PyObject_CallFunctionObjArgs(offset_timezone_.ptr(), hours.ptr(),
                                                  minutes.ptr(), sign.ptr(), nullptr));
    }

    // A partial-time on its own, or an empty object when the text there is
    // none.
    nb::object local_time() {
        const std::optional<PartialTime> time = match_partial_time(at_, end_);
        if (!time) {
            return {};
        }
        at_ = time->end;
        return built(PyDateTimeAPI->Time_FromTime(time->hour, time->minute, time->second,
                                                  time->microsecond, Py_None,
                                                  PyDateTimeAPI->TimeType));
    }

    // A float is made by float() of its text and an integer by int(text, 0),
    // as tomllib makes them.
    nb::object number() {
        const std::optional<Number> number = match_number(at_, end_);
        if (!number) {
            decline();
        }
        const char* start = std::exchange(at_, number->end);
        if (number->is_float) {
            return float_of(start, at_);
        }
        scratch_.assign(start, at_); // NUL-terminated, as PyLong_FromString reads it
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
