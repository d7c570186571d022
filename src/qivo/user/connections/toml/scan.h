// The lexical layer of TOML as the store uses it: character classes, and
// matchers for the tokens whose shape takes more than a glance (a date, a
// time of day, a time-zone offset, a number). They read bytes and make no
// Python object; the parser builds the objects from what they matched. The
// steps are named as the TOML grammar names them (full-date, partial-time,
// time-offset, dec-int, frac, exp), which is also how tomllib's patterns
// are laid out.
#pragma once

#include <optional>
#include <string_view>

namespace qivo {

constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

constexpr bool is_hex_digit(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// ALPHA / DIGIT / "-" / "_": the characters of a bare key.
constexpr bool is_bare_key_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || is_digit(c) || c == '_' || c == '-';
}

// A key that may stand without quotes: one or more bare-key characters.
constexpr bool is_bare_key(std::string_view text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (!is_bare_key_char(c)) {
            return false;
        }
    }
    return true;
}

// TOML's control characters: U+0000 to U+001F and U+007F.
constexpr bool is_control(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// The control characters that no single-line string and no comment may hold
// as they are: all but the tab.
constexpr bool is_forbidden_control(char c) {
    return is_control(c) && c != '\t';
}

// full-date = date-fullyear "-" date-month "-" date-mday. The month and day
// are checked for their digits only: the constructors of the objects refuse
// days that do not exist.
struct FullDate {
    int year;
    int month;
    int day;
    const char* end; // just past the match
};
std::optional<FullDate> match_full_date(const char* at, const char* end);

// time-delim = "T" / "t" / " ": what joins a date and a time.
constexpr bool is_time_delimiter(char c) {
    return c == 'T' || c == 't' || c == ' ';
}

// partial-time = time-hour ":" time-minute ":" time-second [time-secfrac],
// hours 00-23, minutes and seconds 00-59. The first six digits of the
// fraction are the microseconds (fewer are padded with zeros, further ones
// dropped), as tomllib reads them.
struct PartialTime {
    int hour;
    int minute;
    int second;
    int microsecond;
    const char* end;
};
std::optional<PartialTime> match_partial_time(const char* at, const char* end);

// time-offset = "Z" / "z" / time-numoffset, where time-numoffset =
// ("+" / "-") time-hour ":" time-minute. A numeric offset keeps the texts
// of its parts, which is how tomllib's cache of offsets is keyed.
struct TimeOffset {
    bool utc;
    std::string_view sign;
    std::string_view hours;
    std::string_view minutes;
    const char* end;
};
std::optional<TimeOffset> match_time_offset(const char* at, const char* end);

// A decimal number: [sign] then inf or nan, or dec-int [frac] [exp] without
// underscores, where dec-int is "0" or a digit 1-9 and more digits. Hex,
// octal and binary integers match as their leading "0", and the caller
// declines what follows.
struct Number {
    bool is_float;
    const char* end;
};
std::optional<Number> match_number(const char* at, const char* end);

} // namespace qivo
