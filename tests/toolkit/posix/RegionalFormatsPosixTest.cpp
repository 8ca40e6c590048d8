// The user's date and time formats from the POSIX locale settings.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "toolkit/RegionalFormats.h"

// With LOCPATH set, the C library's newlocale keeps the copy of the path it
// makes on every call (its own leak, not ours): the leak checker is told so.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:__argz_add_sep\n";
}

namespace {

// Sets an environment variable for one test and puts the old value back.
class EnvVar {
  public:
    EnvVar(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~EnvVar() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(RegionalFormatsPosix, PlainAndUnknownLocalesGiveIsoForms) {
    for (const char* name : {"C", "POSIX", "C.UTF-8", "xx_NOWHERE.UTF-8"}) {
        EnvVar all("LC_ALL", name);
        EXPECT_EQ(tk::SystemShortDateFormat(), "yyyy-MM-dd") << name;
        EXPECT_EQ(tk::SystemLongTimeFormat(), "HH:mm:ss") << name;
        const tk::TLocaleNames names = tk::SystemLocaleNames();
        EXPECT_EQ(names.longMonths[0], "January") << name;
        EXPECT_EQ(names.shortDays[0], "Sun") << name;
        EXPECT_EQ(names.am, "AM") << name;
    }
    // With nothing set at all the C locale applies.
    EnvVar all("LC_ALL", nullptr);
    EnvVar time("LC_TIME", nullptr);
    EnvVar lang("LANG", nullptr);
    EXPECT_EQ(tk::SystemShortDateFormat(), "yyyy-MM-dd");
    // A GPS fix time then reads as ISO.
    const double noonOnNewYear = 46023.5;  // 2026-01-01 12:00
    EXPECT_EQ(
        tk::FormatDateTime(tk::SystemShortDateFormat(), noonOnNewYear, tk::SystemLocaleNames()),
        "2026-01-01");
    EXPECT_EQ(
        tk::FormatDateTime(tk::SystemLongTimeFormat(), noonOnNewYear, tk::SystemLocaleNames()),
        "12:00:00");
}

// A German locale with just its time and number categories, compiled from
// the system's locale sources into a folder of the test's own.
TEST(RegionalFormatsPosix, LocaleFormatsAreRead) {
    char dirTemplate[] = "/tmp/palmo-locale-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::filesystem::path dir = dirTemplate;
    struct Cleanup {
        std::filesystem::path d;
        ~Cleanup() { std::filesystem::remove_all(d); }
    } cleanup{dir};
    {
        std::ofstream src(dir / "source");
        src << "LC_TIME\ncopy \"de_DE\"\nEND LC_TIME\n"
               "LC_NUMERIC\ncopy \"de_DE\"\nEND LC_NUMERIC\n";
    }
    // Warnings about the categories left out are expected; the output is
    // written all the same.
    const std::string cmd = "localedef -c -i " + (dir / "source").string() + " -f UTF-8 " +
                            (dir / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    (void)std::system(cmd.c_str());
    if (!std::filesystem::exists(dir / "de_DE.UTF-8" / "LC_TIME")) {
        GTEST_SKIP() << "localedef or the de_DE locale source is missing";
    }

    EnvVar path("LOCPATH", dir.c_str());
    EnvVar all("LC_ALL", "de_DE.UTF-8");
    EXPECT_EQ(tk::SystemShortDateFormat(), "dd.MM.yyyy");
    EXPECT_EQ(tk::SystemLongTimeFormat(), "HH:mm:ss");
    EXPECT_EQ(tk::SystemDecimalSeparator(), ',');
    const tk::TLocaleNames names = tk::SystemLocaleNames();
    EXPECT_EQ(names.longMonths[2], "M\xC3\xA4rz");
    EXPECT_EQ(names.longDays[1], "Montag");
    const double monday = 46027 + (13 * 3600 + 5 * 60 + 9) / 86400.0;  // 2026-01-05
    EXPECT_EQ(tk::FormatDateTime(tk::SystemShortDateFormat(), monday, names), "05.01.2026");
    EXPECT_EQ(tk::FormatDateTime(tk::SystemLongTimeFormat(), monday, names), "13:05:09");
    EXPECT_EQ(tk::FormatDateTime("dddd, d. MMMM", monday, names), "Montag, 5. Januar");
}

}  // namespace
