#include "base/plat/Time.h"

#include "base/plat/Exception.h"

#include <array>
#include <ctime>
#include <gtest/gtest.h>
#include <limits>
#include <random>

namespace {

using plat::DateTime;
using plat::unixEpochTicks;
using plat::wallTicksPerSecond;

constexpr int64_t maxInt64 = std::numeric_limits<int64_t>::max();
constexpr int64_t minInt64 = std::numeric_limits<int64_t>::min();

// Ticks of 9999-12-31T23:59:59.9999999, the last four-digit-year instant.
constexpr int64_t lastFourDigitYearTicks = 2650467743999999999;

// Calendar fields (year, month, day, hour, minute, second, weekday, day of
// year) in one comparable value, from our broken-down time or the C library's.
using Fields = std::array<int, 8>;

Fields fieldsOf(const DateTime& t) {
  return {t.year, t.month, t.day, t.hour, t.minute, t.second, t.weekday, t.yearDay};
}

Fields fieldsOf(const tm& t) {
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_wday, t.tm_yday};
}

TEST(WallTime, UnixEpochAndSecondOffsetAgree) {
  EXPECT_EQ(plat::unixEpochTicks, plat::unixEpochSeconds * wallTicksPerSecond);
  EXPECT_EQ(plat::wallTimeFromUnix(0), unixEpochTicks);
  EXPECT_EQ(plat::wallTimeFromUnix(-11644473600), 0);
  EXPECT_EQ(plat::unixSecondsFromWallTime(unixEpochTicks), 0);
  EXPECT_EQ(plat::unixSecondsFromWallTime(unixEpochTicks - 1), -1) << "rounds down";
}

TEST(WallTime, PairConversionsSaturate) {
  struct Case {
    const char* what;
    int64_t result;
    int64_t expected;
  };
  const Case cases[] = {
    {"timeval 1.5 s", plat::wallTimeFromTimeval(1, 500000), unixEpochTicks + 15000000},
    {"timespec 0.999999999 s", plat::wallTimeFromTimespec(0, 999999999), unixEpochTicks + 9999999},
    {"timeval before 1601", plat::wallTimeFromTimeval(-11644473601, 0), -wallTicksPerSecond},
    {"timeval max seconds", plat::wallTimeFromTimeval(maxInt64, 0), maxInt64},
    {"timeval min seconds", plat::wallTimeFromTimeval(minInt64, 0), minInt64},
    {"timespec max seconds", plat::wallTimeFromTimespec(maxInt64, 999999999), maxInt64},
    {"timespec min seconds", plat::wallTimeFromTimespec(minInt64, 0), minInt64},
    {"timeval huge micros", plat::wallTimeFromTimeval(0, maxInt64), maxInt64},
    {"unix min", plat::wallTimeFromUnix(minInt64), minInt64},
    {"just below max", plat::wallTimeFromTimespec((maxInt64 - unixEpochTicks) / wallTicksPerSecond, 0),
     (maxInt64 - unixEpochTicks) / wallTicksPerSecond * wallTicksPerSecond + unixEpochTicks},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.result, c.expected);
  }
}

TEST(WallTime, NowIsBracketedBySystemTime) {
  time_t before = time(nullptr);
  int64_t now = plat::wallTimeNow();
  time_t after = time(nullptr);
  EXPECT_GE(plat::unixSecondsFromWallTime(now), int64_t(before));
  EXPECT_LE(plat::unixSecondsFromWallTime(now), int64_t(after));
}

TEST(DateTimeFormat, FixedInstantsInUtc) {
  struct Case {
    int64_t wall;
    const char* iso;
    const char* isoMillis;
    int weekday;
    int yearDay;
  };
  const Case cases[] = {
    {0, "1601-01-01T00:00:00", "1601-01-01T00:00:00.000", 1, 0},
    {unixEpochTicks, "1970-01-01T00:00:00", "1970-01-01T00:00:00.000", 4, 0},
    {unixEpochTicks - 10000, "1969-12-31T23:59:59", "1969-12-31T23:59:59.999", 3, 364},
    {125963012960000000 + 7894321, "2000-02-29T12:34:56", "2000-02-29T12:34:56.789", 2, 59},
    {133540888280000000, "2024-03-05T05:07:08", "2024-03-05T05:07:08.000", 2, 64},
    {lastFourDigitYearTicks, "9999-12-31T23:59:59", "9999-12-31T23:59:59.999", 5, 364},
    {-wallTicksPerSecond, "1600-12-31T23:59:59", "1600-12-31T23:59:59.000", 0, 365},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.iso);
    DateTime utc = plat::utcDateTime(c.wall);
    EXPECT_EQ(plat::formatIsoDateTime(utc, false), c.iso);
    EXPECT_EQ(plat::formatIsoDateTime(utc, true), c.isoMillis);
    EXPECT_EQ(utc.weekday, c.weekday);
    EXPECT_EQ(utc.yearDay, c.yearDay);
  }
}

TEST(DateTimeFormat, YearsThatFourDigitsCannotHoldAreDateErrors) {
  EXPECT_EQ(plat::formatIsoDateTime(plat::utcDateTime(lastFourDigitYearTicks + 1), true),
            "<date error>");
  EXPECT_EQ(plat::formatIsoDateTime(plat::utcDateTime(maxInt64), false), "<date error>");
  EXPECT_EQ(plat::formatIsoDateTime(plat::utcDateTime(minInt64), false), "<date error>");
  DateTime yearZero = plat::utcDateTime(plat::parseIsoDateTime("0000-01-01T00:00:00Z"));
  EXPECT_EQ(plat::formatIsoDateTime(yearZero, false), "0000-01-01T00:00:00");
}

TEST(DateTimeFormat, RandomInstantsMatchTheCLibraryAndParseBack) {
  std::mt19937_64 rng(1601);
  std::uniform_int_distribution<int64_t> ticks(0, lastFourDigitYearTicks);
  for (int i = 0; i < 5000; i++) {
    int64_t wall = ticks(rng);
    SCOPED_TRACE(wall);
    DateTime utc = plat::utcDateTime(wall);
    time_t seconds = time_t(plat::unixSecondsFromWallTime(wall));
    tm reference{};
    ASSERT_NE(gmtime_r(&seconds, &reference), nullptr);
    ASSERT_EQ(fieldsOf(utc), fieldsOf(reference));
    ASSERT_EQ(utc.millisecond, int(wall % wallTicksPerSecond / 10000));

    std::string text = plat::formatIsoDateTime(utc, true) + "Z";
    ASSERT_EQ(plat::parseIsoDateTime(text), wall - wall % 10000) << text;
  }
}

TEST(DateTimeFormat, LocalTimeMatchesTheCLibrary) {
  std::mt19937_64 rng(1970);
  std::uniform_int_distribution<int64_t> seconds(0, 4102444800); // 1970..2100
  for (int i = 0; i < 500; i++) {
    time_t unixSeconds = time_t(seconds(rng));
    SCOPED_TRACE(int64_t(unixSeconds));
    int64_t wall = plat::wallTimeFromUnix(unixSeconds) + 1230000;
    DateTime local = plat::localDateTime(wall);
    tm reference{};
    ASSERT_NE(localtime_r(&unixSeconds, &reference), nullptr);
    EXPECT_EQ(fieldsOf(local), fieldsOf(reference));
    EXPECT_EQ(local.millisecond, 123);
    EXPECT_EQ(local.utcOffsetSeconds, reference.tm_gmtoff);

    char zone[16];
    ASSERT_GT(strftime(zone, sizeof zone, "%z", &reference), 0u);
    std::string expectedOffset = std::string(zone, 3) + ":" + std::string(zone + 3);
    EXPECT_EQ(plat::formatUtcOffset(local.utcOffsetSeconds), expectedOffset);
  }
}

TEST(DateTimeFormat, UtcOffsetText) {
  struct Case {
    long seconds;
    const char* text;
  };
  const Case cases[] = {
    {0, "+00:00"}, {3600, "+01:00"}, {-18000, "-05:00"}, {-12600, "-03:30"},
    {19800, "+05:30"}, {20700, "+05:45"}, {50400, "+14:00"}, {-43200, "-12:00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(plat::formatUtcOffset(c.seconds), c.text);
  }
}

TEST(DateTimeFormatDeathTest, OffsetsOfAYearOrMoreAreFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(plat::formatUtcOffset(365L * 86400), "");
  EXPECT_DEATH(plat::formatUtcOffset(-365L * 86400), "");
}

TEST(DateTimeFormat, StrftimePatterns) {
  DateTime early = plat::utcDateTime(plat::parseIsoDateTime("0987-06-05T04:03:02Z"));
  DateTime modern = plat::utcDateTime(plat::parseIsoDateTime("2024-03-05T05:07:08Z"));
  const std::string longPattern(1000, 'x');
  struct Case {
    const char* pattern;
    const DateTime& time;
    std::string expected;
  };
  const Case cases[] = {
    {"%Y-%m-%d %H:%M:%S", early, "0987-06-05 04:03:02"},
    {"%Y%m%d%H%M%S", modern, "20240305050708"},
    {"%%Y is %Y", modern, "%Y is 2024"},
    {"%A %d %B", modern, "Tuesday 05 March"},
    {"%j", modern, "065"},
    {"plain text only", modern, "plain text only"},
    {"%Y%Y%Y%Y%Y", early, "09870987098709870987"},
    {longPattern.c_str(), modern, longPattern},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(plat::formatDateTime(c.pattern, c.time), c.expected);
  }
}

// Used to go wrong: strftime's 0 for an empty result read as "buffer too
// small" until the 1024-byte limit gave "<date error>".
TEST(DateTimeFormat, EmptyPatternGivesEmptyText) {
  EXPECT_EQ(plat::formatDateTime("", plat::utcDateTime(0)), "");
}

TEST(DateTimeFormat, OutputBeyondTheLimitIsADateError) {
  DateTime time = plat::utcDateTime(0);
  EXPECT_EQ(plat::formatDateTime(std::string(1023, 'x').c_str(), time), std::string(1023, 'x'));
  EXPECT_EQ(plat::formatDateTime(std::string(1024, 'x').c_str(), time), "<date error>");
  EXPECT_EQ(plat::formatDateTime(std::string(400, 'Y').insert(0, "%A%B").c_str(), time).size(),
            size_t(400 + 6 + 7));
}

TEST(DateTimeParse, AcceptedForms) {
  const int64_t base = 133540888280000000; // 2024-03-05T05:07:08Z
  struct Case {
    const char* text;
    int64_t expected;
  };
  const Case cases[] = {
    {"2024-03-05T05:07:08Z", base},
    {"2024-03-05T05:07:08", base},
    {"2024-03-05T06:07:08+01:00", base},
    {"2024-03-05T06:07:08+0100", base},
    {"2024-03-05T06:07:08+01", base},
    {"2024-03-05T02:37:08-02:30", base},
    {"2024-03-04T23:07:08-06:00", base},
    {"2024-03-05T05:07:08.5Z", base + 5000000},
    {"2024-03-05T05:07:08.123Z", base + 1230000},
    {"2024-03-05T05:07:08.1234567", base + 1234567},
    {"2024-03-05T05:07:08.123456789+00:00", base + 1234567},
    {"2024-03-05T05:07:08.000000000000000000009Z", base},
    {"2024-03-05T06:07:08.25+01:00", base + 2500000},
    {"1601-01-01T00:00:00Z", 0},
    {"1970-01-01T00:00:00Z", unixEpochTicks},
    {"2000-02-29T00:00:00Z", 125962560000000000},
    {"1600-12-31T23:59:59Z", -wallTicksPerSecond},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(plat::parseIsoDateTime(c.text), c.expected);
  }
}

TEST(DateTimeParse, RejectsMalformedTextWithItsText) {
  const char* const cases[] = {
    "",
    "2024",
    "2024-03-05",
    "2024-03-05 05:07:08",
    "2024-03-05t05:07:08",
    "24-03-05T05:07:08",
    "2024-3-05T05:07:08",
    "2024-03-05T5:07:08",
    "2024-13-01T00:00:00",
    "2024-00-01T00:00:00",
    "2024-01-00T00:00:00",
    "2024-04-31T00:00:00",
    "2023-02-29T00:00:00",
    "1900-02-29T00:00:00",
    "2024-01-01T24:00:00",
    "2024-01-01T00:60:00",
    "2024-01-01T00:00:60",
    "2024-01-01T00:00:00.",
    "2024-01-01T00:00:00.Z",
    "2024-01-01T00:00:00Zjunk",
    "2024-01-01T00:00:00 ",
    "2024-01-01T00:00:00+1",
    "2024-01-01T00:00:00+24:00",
    "2024-01-01T00:00:00+01:60",
    "2024-01-01T00:00:00+01:",
    "2024-01-01T00:00:00*01:00",
    "-024-01-01T00:00:00",
    "+2024-01-01T00:00:00",
    "2024-01-01T00:00:00,5",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    try {
      plat::parseIsoDateTime(text);
      ADD_FAILURE() << "accepted";
    } catch (const plat::Exception& e) {
      EXPECT_EQ(std::string(e.str()), std::string("invalid date (") + text + ")");
      EXPECT_FALSE(e.hasType());
    }
  }
}

TEST(DateTimeParse, TextWithEmbeddedNulIsRejected) {
  std::string text("2024-01-01T00:00:00Z\0junk", 25);
  EXPECT_THROW(plat::parseIsoDateTime(text), plat::Exception);
}

} // namespace
