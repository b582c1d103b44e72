// The creation-minute key against a direct local-time computation, in time
// zones with daylight saving (the key caches one conversion per midnight).
#include "fat/minutetable.h"
#include "support/skip.h"

#include <QDateTime>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <random>

namespace {

// Sets TZ for the test's lifetime.
class TimeZone {
public:
    explicit TimeZone(const char* zone)
    {
        const char* old = std::getenv("TZ");
        had = old != nullptr;
        if (had)
            saved = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TimeZone()
    {
        if (had)
            setenv("TZ", saved.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool had = false;
    std::string saved;
};

std::optional<std::int64_t> directkey(std::uint16_t date, std::uint16_t time)
{
    const QDate day(1980 + (date >> 9), (date >> 5) & 0x0F, date & 0x1F);
    if (!day.isValid() || (time >> 11) > 23 || ((time >> 5) & 0x3F) > 59)
        return std::nullopt;
    const QDateTime origin(QDate(1980, 1, 1), QTime(0, 0));
    const QDateTime when(day, QTime(time >> 11, (time >> 5) & 0x3F));
    // A local time skipped by a change of offset is no time: no key.
    if (!when.isValid())
        return std::nullopt;
    return origin.secsTo(when) / 60;
}

class MinuteKey : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(MinuteKey, AgreesWithDirectConversion)
{
    if (!QFileInfo::exists(QString("/usr/share/zoneinfo/") + GetParam()))
        KOV_SKIP() << "no zone data for " << GetParam();
    TimeZone zone(GetParam());
    const MINUTECLOCK clock;
    EXPECT_EQ(clock.count(), *directkey(0x5021, 0));  // 2020-01-01 00:00
    std::mt19937 random(42);
    std::uniform_int_distribution<int> year(0, 45), month(0, 13), day(0, 31), hour(0, 25), minute(0, 61);
    int checked = 0;
    for (int i = 0; i < 40000; ++i) {
        const auto date = std::uint16_t(year(random) << 9 | month(random) << 5 | day(random));
        const auto time = std::uint16_t(hour(random) << 11 | minute(random) << 5 | (i & 0x1F));
        const auto expected = directkey(date, time);
        ASSERT_EQ(clock.key(date, time), expected) << std::hex << date << " " << time;
        checked += expected.has_value();
    }
    EXPECT_GT(checked, 20000);
    // Every minute of the days around a change of offset.
    for (int d : {1, 2, 3, 25, 26, 27, 28, 29, 30, 31})
        for (int m : {3, 4, 10, 11})
            for (int h = 0; h < 24; ++h)
                for (int mi = 0; mi < 60; mi += 7) {
                    const auto date = std::uint16_t((2010 - 1980) << 9 | m << 5 | d);
                    const auto time = std::uint16_t(h << 11 | mi << 5);
                    ASSERT_EQ(clock.key(date, time), directkey(date, time)) << m << "/" << d << " " << h << ":" << mi;
                }
}

INSTANTIATE_TEST_SUITE_P(Zones, MinuteKey,
                         ::testing::Values("UTC", "Europe/Berlin", "America/Sao_Paulo", "Australia/Lord_Howe"),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name)
                                 if (c == '/')
                                     c = '_';
                             return name;
                         });
