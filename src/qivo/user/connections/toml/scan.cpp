#include "toml/scan.h"

namespace qivo {

namespace {

constexpr bool in_range(char c, char low, char high) {
    return c >= low && c <= high;
}

int two_digits(const char* at) {
    return (at[0] - '0') * 10 + (at[1] - '0');
}

bool enough(const char* at, const char* end, long length) {
    return end - at >= length;
}

// date-fullyear = 4DIGIT
bool is_full_year(const char* at) {
    return is_digit(at[0]) && is_digit(at[1]) && is_digit(at[2]) && is_digit(at[3]);
}

// date-month = 01-12
bool is_month(const char* at) {
    return at[0] == '0' ? in_range(at[1], '1', '9') : at[0] == '1' && in_range(at[1], '0', '2');
}

// date-mday = 01-31
bool is_month_day(const char* at) {
    if (at[0] == '0') {
        return in_range(at[1], '1', '9');
    }
    if (at[0] == '3') {
        return in_range(at[1], '0', '1');
    }
    return in_range(at[0], '1', '2') && is_digit(at[1]);
}

// time-hour = 00-23
bool is_hour(const char* at) {
    return in_range(at[0], '0', '1') ? is_digit(at[1]) : at[0] == '2' && in_range(at[1], '0', '3');
}

// time-minute and time-second = 00-59
bool is_minute(const char* at) {
    return in_range(at[0], '0', '5') && is_digit(at[1]);
}

// time-secfrac = "." 1*DIGIT; returns the end of the match, or `at` when
// there is none, and the microseconds it gives.
const char* match_second_fraction(const char* at, const char* end, int& microsecond) {
    microsecond = 0;
    if (!enough(at, end, 2) || at[0] != '.' || !is_digit(at[1])) {
        return at;
    }
    int digits = 0;
    for (++at; at < end && is_digit(*at); ++at, ++digits) {
        if (digits < 6) {
            microsecond = microsecond * 10 + (*at - '0');
        }
    }
    for (; digits < 6; ++digits) {
        microsecond *= 10;
    }
    return at;
}

const char* skip_digits(const char* at, const char* end) {
    while (at != end && is_digit(*at)) {
        ++at;
    }
    return at;
}

// dec-int without its sign: "0", or a digit 1-9 and any more digits; null
// when there is no digit.
const char* match_unsigned_dec_int(const char* at, const char* end) {
    if (at == end || !is_digit(*at)) {
        return nullptr;
    }
    return *at == '0' ? at + 1 : skip_digits(at + 1, end);
}

// frac = "." 1*DIGIT; `at` when there is none.
const char* match_fraction(const char* at, const char* end) {
    if (!enough(at, end, 2) || at[0] != '.' || !is_digit(at[1])) {
        return at;
    }
    return skip_digits(at + 2, end);
}

// exp = ("e" / "E") [sign] 1*DIGIT; `at` when there is none.
const char* match_exponent(const char* at, const char* end) {
    if (at == end || (*at != 'e' && *at != 'E')) {
        return at;
    }
    const char* digits = at + 1;
    if (digits != end && (*digits == '+' || *digits == '-')) {
        ++digits;
    }
    if (digits == end || !is_digit(*digits)) {
        return at;
    }
    return skip_digits(digits + 1, end);
}

} // namespace

std::optional<FullDate> match_full_date(const char* at, const char* end) {
    if (!enough(at, end, 10) || !is_full_year(at) || at[4] != '-' || !is_month(at + 5) ||
        at[7] != '-' || !is_month_day(at + 8)) {
        return std::nullopt;
    }
    return FullDate{two_digits(at) * 100 + two_digits(at + 2), two_digits(at + 5),
                    two_digits(at + 8), at + 10};
}

std::optional<PartialTime> match_partial_time(const char* at, const char* end) {
    if (!enough(at, end, 8) || !is_hour(at) || at[2] != ':' || !is_minute(at + 3) || at[5] != ':' ||
        !is_minute(at + 6)) {
        return std::nullopt;
    }
    PartialTime time{two_digits(at), two_digits(at + 3), two_digits(at + 6), 0, nullptr};
    time.end = match_second_fraction(at + 8, end, time.microsecond);
    return time;
}

std::optional<TimeOffset> match_time_offset(const char* at, const char* end) {
    if (at != end && (*at == 'Z' || *at == 'z')) {
        return TimeOffset{true, {}, {}, {}, at + 1};
    }
    if (!enough(at, end, 6) || (*at != '+' && *at != '-') || !is_hour(at + 1) || at[3] != ':' ||
        !is_minute(at + 4)) {
        return std::nullopt;
    }
    return TimeOffset{false, {at, 1}, {at + 1, 2}, {at + 4, 2}, at + 6};
}

std::optional<Number> match_number(const char* at, const char* end) {
    if (at != end && (*at == '+' || *at == '-')) {
        ++at;
    }
    const std::string_view special(at, enough(at, end, 3) ? 3 : 0);
    if (special == "inf" || special == "nan") {
        return Number{true, at + 3};
    }
    const char* integer_end = match_unsigned_dec_int(at, end);
    if (integer_end == nullptr) {
        return std::nullopt;
    }
    const char* fraction_end = match_fraction(integer_end, end);
    const char* exponent_end = match_exponent(fraction_end, end);
    return Number{exponent_end != integer_end, exponent_end};
}

} // namespace qivo
