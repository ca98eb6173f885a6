#include "base/format.h"

#include "base/i18n.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

namespace {

// French groups digits with a narrow no-break space.
const std::string kNnbsp = "\xE2\x80\xAF";

// Switches the interface language for one scope.
class Language {
public:
    explicit Language(const std::string& code) : m_saved(I18n::instance().language()) {
        I18n::instance().set_language(code);
    }
    ~Language() { I18n::instance().set_language(m_saved); }
    Language(const Language&) = delete;
    Language& operator=(const Language&) = delete;

private:
    std::string m_saved;
};

TEST(Format, Bytes) {
    struct Case {
        const char* lang;
        int64_t value;
        std::string full, short_form;
    };
    const int64_t kMiB = 1024 * 1024;
    std::vector<Case> cases = {
        {"en", 0, "0 B", "0 B"},
        {"en", 1, "1 B", "1 B"},
        // Byte counts are shown as plain digits in every language: "1023 B", never "1,023 B".
        {"en", 1023, "1023 B", "1023 B"},
        {"en", 1000, "1000 B", "1000 B"},
        {"fr", 1023, "1023 B", "1023 B"},
        {"en", -5, "0 B", "0 B"},
        {"en", std::numeric_limits<int64_t>::min(), "0 B", "0 B"},
        {"en", 1024, "1 KB", "1 KB"},
        {"en", 1535, "1 KB", "1 KB"},
        {"en", 1536, "2 KB", "2 KB"}, // kilobytes have no decimals
        {"en", 1000 * 1024, "1,000 KB", "1,000 KB"},
        {"en", kMiB, "1.00 MB", "1.0 MB"},
        {"en", 1572864, "1.50 MB", "1.5 MB"},
        {"en", 1024 * kMiB * 5 / 4, "1.25 GB", "1.2 GB"},
        {"en", int64_t(1) << 40, "1.00 TB", "1.0 TB"},
        {"en", int64_t(1) << 50, "1.00 PB", "1.0 PB"},
        {"en", int64_t(1) << 60, "1,024.00 PB", "1,024.0 PB"}, // nothing above PB
        {"en", std::numeric_limits<int64_t>::max(), "8,192.00 PB", "8,192.0 PB"},
        {"de", 1572864, "1,50 MB", "1,5 MB"},
        {"de", int64_t(1) << 60, "1.024,00 PB", "1.024,0 PB"},
        {"de", 1023, "1023 B", "1023 B"},
        {"fr", int64_t(1) << 60, "1" + kNnbsp + "024,00 PB", "1" + kNnbsp + "024,0 PB"},
        {"pt", int64_t(1) << 60, "1024,00 PB", "1024,0 PB"}, // no grouping in Portuguese
    };
    for (const auto& c : cases) {
        Language lang(c.lang);
        EXPECT_EQ(fmt::bytes(c.value), c.full) << c.lang << " " << c.value;
        EXPECT_EQ(fmt::bytes_short(c.value), c.short_form) << c.lang << " " << c.value;
    }
}

TEST(Format, CountAndFiles) {
    struct Case {
        const char* lang;
        int64_t value;
        std::string count, files;
    };
    std::vector<Case> cases = {
        {"en", 0, "0", "0 files"},
        {"en", 1, "1", "1 file"},
        {"en", 2, "2", "2 files"},
        {"en", 999, "999", "999 files"},
        {"en", 1000, "1,000", "1,000 files"},
        {"en", 100000, "100,000", "100,000 files"},
        {"en", 1234567, "1,234,567", "1,234,567 files"},
        {"en", -1234, "-1,234", "-1,234 files"},
        {"en", -999, "-999", "-999 files"},
        {"en", std::numeric_limits<int64_t>::min(), "-9,223,372,036,854,775,808",
         "-9,223,372,036,854,775,808 files"},
        {"de", 1, "1", "1 Datei"},
        {"de", 999, "999", "999 Dateien"},
        {"de", 1234567, "1.234.567", "1.234.567 Dateien"},
        {"fr", 1234567, "1" + kNnbsp + "234" + kNnbsp + "567",
         "1" + kNnbsp + "234" + kNnbsp + "567 fichiers"},
        {"pt", 1234567, "1234567", "1234567 files"}, // Portuguese texts are not built in yet
    };
    for (const auto& c : cases) {
        Language lang(c.lang);
        EXPECT_EQ(fmt::count(c.value), c.count) << c.lang << " " << c.value;
        if (std::string(c.lang) == "pt") continue;
        EXPECT_EQ(fmt::files(c.value), c.files) << c.lang << " " << c.value;
    }
}

TEST(Format, Seconds) {
    struct Case {
        const char* lang;
        double value;
        std::string want;
    };
    std::vector<Case> cases = {
        {"en", 0.0, "0.0 s"},          {"en", 0.04, "0.0 s"},
        {"en", 0.06, "0.1 s"},         {"en", 1.96, "2.0 s"}, // the tenth carries into the seconds
        {"en", 59.96, "60.0 s"},       {"en", 59.94, "59.9 s"},
        {"en", 3.25, "3.3 s"},                                        // half up
        {"en", -3.0, "0.0 s"},         {"en", 12345.67, "12345.7 s"}, // no grouping
        {"en", std::nan(""), "0.0 s"}, {"en", -std::numeric_limits<double>::infinity(), "0.0 s"},
        {"de", 1.96, "2,0 s"},         {"fr", 12345.67, "12345,7 s"},
    };
    for (const auto& c : cases) {
        Language lang(c.lang);
        EXPECT_EQ(fmt::seconds(c.value), c.want) << c.lang << " " << c.value;
    }
    // Huge values stay well-formed rather than overflowing the integer conversion.
    Language en("en");
    std::string huge = fmt::seconds(std::numeric_limits<double>::infinity());
    EXPECT_TRUE(huge.size() > 4 && huge.compare(huge.size() - 4, 4, ".0 s") == 0) << huge;
}

// relative() reads the clock itself; a case that straddles a second boundary is measured again.
std::string relative_ago(int64_t seconds_ago) {
    for (;;) {
        time_t before = time(nullptr);
        std::string got = fmt::relative(static_cast<int64_t>(before) - seconds_ago);
        if (time(nullptr) == before) return got;
    }
}

TEST(Format, Relative) {
    struct Case {
        const char* lang;
        int64_t ago;
        std::string want;
    };
    std::vector<Case> cases = {
        {"en", 0, "just now"},
        {"en", 44, "just now"},
        {"en", -3600, "just now"}, // a time in the future
        {"en", 45, "1 min ago"},
        {"en", 89, "1 min ago"},
        {"en", 90, "2 min ago"}, // rounded, halves away from zero
        {"en", 2699, "45 min ago"},
        {"en", 2700, "1 h ago"},
        {"en", 79199, "22 h ago"},
        {"en", 79200, "1 d ago"},
        {"en", 518399, "6 d ago"},
        {"en", 518400, "1 w ago"},
        {"en", 2419199, "4 w ago"},
        {"en", 2419200, "1 mo ago"},
        {"en", 28927799, "11 mo ago"},
        {"en", 28927800, "1 y ago"},
        {"en", int64_t(3000) * 31557600, "3,000 y ago"},
        {"de", 44, "gerade eben"},
        {"de", 45, "vor 1 Min."},
        {"de", 2700, "vor 1 Std."},
        {"de", int64_t(3000) * 31557600, "vor 3.000 J."},
        {"fr", 518400, "il y a 1 sem."},
    };
    for (const auto& c : cases) {
        Language lang(c.lang);
        EXPECT_EQ(relative_ago(c.ago), c.want) << c.lang << " " << c.ago << " s ago";
    }
    Language en("en");
    EXPECT_EQ(fmt::relative(0), "");
    // Times at the ends of the range neither wrap around nor crash.
    EXPECT_EQ(fmt::relative(std::numeric_limits<int64_t>::max()), "just now");
    std::string oldest = fmt::relative(std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(oldest.size() > 6 && oldest.compare(oldest.size() - 6, 6, " y ago") == 0) << oldest;
}

// Dates are local times; the cases are written for UTC.
class FormatDate : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        m_had_tz = tz != nullptr;
        if (tz) m_tz = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (m_had_tz)
            setenv("TZ", m_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_had_tz = false;
    std::string m_tz;
};

TEST_F(FormatDate, ShortLocalDate) {
    struct Case {
        const char* lang;
        int64_t t;
        std::string want;
    };
    std::vector<Case> cases = {
        {"en", 0, ""},
        {"en", 86400 * 365, "01/01/71"},
        {"en", 1700000000, "11/14/23"},
        {"en", -86400, "12/31/69"},
        {"de", 1700000000, "14.11.23"},
        {"fr", 1700000000, "14/11/23"},
        {"en", std::numeric_limits<int64_t>::max(), ""}, // beyond what the calendar conversion can hold
    };
    for (const auto& c : cases) {
        Language lang(c.lang);
        EXPECT_EQ(fmt::date(c.t), c.want) << c.lang << " " << c.t;
    }
}

} // namespace
