#include "base/format.h"

#include "base/i18n.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace fmt {

namespace {

// Applies the language's separators to a number as printf writes it ("1234.56", "1234").
std::string localize_number(const std::string& plain) {
    I18n::NumberFormat nf = I18n::instance().number_format();
    size_t sep = plain.find_first_of(".,");
    std::string integer = plain.substr(0, sep);
    std::string fraction = sep == std::string::npos ? std::string() : plain.substr(sep + 1);

    std::string out;
    const size_t group_len = nf.group ? strlen(nf.group) : 0;
    if (group_len > 0 && integer.size() > 3) {
        size_t first = integer.size() % 3;
        if (first == 0) first = 3;
        out.reserve(integer.size() + (integer.size() / 3) * group_len + fraction.size() + 4);
        out.append(integer, 0, first);
        for (size_t pos = first; pos < integer.size(); pos += 3) {
            out.append(nf.group);
            out.append(integer, pos, 3);
        }
    } else {
        out = integer;
    }
    if (!fraction.empty()) {
        out.append(nf.decimal ? nf.decimal : ".");
        out.append(fraction);
    }
    return out;
}

std::string bytes_with(int64_t value, int decimals) {
    static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB", "PB"};
    constexpr size_t kLastUnit = sizeof kUnits / sizeof kUnits[0] - 1;
    double v = value < 0 ? 0.0 : static_cast<double>(value);
    size_t unit = 0;
    while (v >= 1024.0 && unit < kLastUnit) {
        v /= 1024.0;
        ++unit;
    }
    char buf[64];
    if (unit == 0) {
        // A byte count is at most four digits here and reads best as it is ("1023 B").
        snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(v));
        return buf;
    }
    snprintf(buf, sizeof buf, "%.*f", unit < 2 ? 0 : decimals, v);
    return localize_number(buf) + " " + kUnits[unit];
}

// now - then without overflow: times far apart saturate instead of wrapping around.
int64_t elapsed(int64_t now, int64_t then) {
    int64_t diff = 0;
    if (__builtin_sub_overflow(now, then, &diff)) return then < 0 ? INT64_MAX : INT64_MIN;
    return diff;
}

} // namespace

std::string bytes(int64_t value) {
    return bytes_with(value, 2);
}

std::string bytes_short(int64_t value) {
    return bytes_with(value, 1);
}

std::string count(int64_t value) {
    char buf[32];
    snprintf(buf, sizeof buf, "%lld", static_cast<long long>(value));
    if (buf[0] != '-') return localize_number(buf);
    // Appending instead of "-" + string: g++ 12 at -O3 flags the inlined insert-at-front as an
    // overlapping copy (-Wrestrict false positive) and -Werror turns it into a build failure.
    std::string out(1, '-');
    out += localize_number(buf + 1);
    return out;
}

std::string files(int64_t n) {
    if (n == 1) return tr("1 file");
    return trf("%s files", count(n).c_str());
}

std::string seconds(double value) {
    // NaN and negative durations show as zero; absurdly long ones are capped so the integer conversion
    // below stays defined.
    if (!(value > 0.0)) value = 0.0;
    constexpr double kMaxSeconds = 1e15;
    if (value > kMaxSeconds) value = kMaxSeconds;
    long long tenths = static_cast<long long>(std::floor(value * 10.0 + 0.5));
    char whole[32];
    snprintf(whole, sizeof whole, "%lld", tenths / 10);
    I18n::NumberFormat nf = I18n::instance().number_format();
    std::string out = whole;
    out.append(nf.decimal ? nf.decimal : ".");
    out.push_back(static_cast<char>('0' + tenths % 10));
    out.append(" ");
    out.append(tr("s"));
    return out;
}

std::string relative(int64_t unix_time) {
    if (unix_time == 0) return "";
    int64_t diff = elapsed(static_cast<int64_t>(time(nullptr)), unix_time);
    if (diff <= 44) return tr("just now");
    struct Step {
        int64_t below;
        const char* key;
        double divisor;
    };
    static const Step kSteps[] = {
        {2700, "%s min ago", 60.0},         {79200, "%s h ago", 3600.0},
        {518400, "%s d ago", 86400.0},      {2419200, "%s w ago", 604800.0},
        {28927800, "%s mo ago", 2629800.0}, {INT64_MAX, "%s y ago", 31557600.0},
    };
    for (const Step& step : kSteps) {
        if (diff < step.below || step.below == INT64_MAX) {
            long long n = std::llround(static_cast<double>(diff) / step.divisor);
            return trf(step.key, count(n).c_str());
        }
    }
    return "";
}

std::string date(int64_t unix_time) {
    if (unix_time == 0) return "";
    time_t t = static_cast<time_t>(unix_time);
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) return "";
    char buf[64];
    size_t n = strftime(buf, sizeof buf, I18n::instance().date_format(), &local);
    return std::string(buf, n);
}

} // namespace fmt
