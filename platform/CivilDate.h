#pragma once
// Calendar dates from seconds since 1970-01-01 (UTC, proleptic Gregorian),
// in plain arithmetic: no libc, so a signal handler may use it too.
#include <cstdint>

namespace veldmoor::platform {

struct CivilDate {
    int64_t year = 1970;
    unsigned month = 1;
    unsigned day = 1;
};

struct CivilTime {
    CivilDate date;
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
};

// The date `days` after 1970-01-01 (negative: before it).
constexpr CivilDate CivilDateFromDays(int64_t days) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;
    const unsigned day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const unsigned month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

// The date and time of day `seconds` after 1970-01-01 00:00:00.
constexpr CivilTime CivilTimeFromSeconds(int64_t seconds) {
    int64_t days = seconds / 86400;
    int64_t rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    return {CivilDateFromDays(days), static_cast<unsigned>(rest / 3600), static_cast<unsigned>(rest / 60 % 60),
            static_cast<unsigned>(rest % 60)};
}

}  // namespace veldmoor::platform
