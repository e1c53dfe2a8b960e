#include "base/plat/Time.h"

#include "base/plat/Exception.h"

#include <array>
#include <ctime>
#include <gtest/gtest.h>
#include <limits>
#include <random>

namespace {

using plat::DateTime;
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
  return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour,
          t.tm_min,          t.tm_sec,      t.tm_wday, t.tm_yday};
}

// Instants between these are checked against the C library below.
TEST(DateTimeFormat, EdgesOfTheFourDigitYearsAndBeyond) {
  DateTime last = plat::utcDateTime(lastFourDigitYearTicks);
  EXPECT_EQ(plat::formatIsoDateTime(last, true), "9999-12-31T23:59:59.999");
  EXPECT_EQ(plat::formatIsoDateTime(plat::utcDateTime(-wallTicksPerSecond), false),
            "1600-12-31T23:59:59");
  for (int64_t wall : {lastFourDigitYearTicks + 1, maxInt64, minInt64})
    EXPECT_EQ(plat::formatIsoDateTime(plat::utcDateTime(wall), false), "<date error>") << wall;
  DateTime yearZero = plat::utcDateTime(plat::parseIsoDateTime("0000-01-01T00:00:00Z"));
  EXPECT_EQ(plat::formatIsoDateTime(yearZero, false), "0000-01-01T00:00:00");
}

TEST(DateTimeFormat, RandomInstantsMatchTheCLibraryAndParseBack) {
  std::mt19937_64 rng(1601);
  std::uniform_int_distribution<int64_t> ticks(0, lastFourDigitYearTicks);
  for (int i = 0; i < 5000; i++) {
    int64_t wall = i ? ticks(rng) : 0; // the first instant, 1601-01-01
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

TEST(DateTimeFormat, StrftimePatternsUpToTheLimit) {
  DateTime early = plat::utcDateTime(plat::parseIsoDateTime("0987-06-05T04:03:02Z"));
  DateTime modern = plat::utcDateTime(plat::parseIsoDateTime("2024-03-05T05:07:08Z"));
  const std::string longest(1023, 'x');
  struct Case {
    std::string pattern;
    const DateTime& time;
    std::string expected;
  };
  const Case cases[] = {
    {"%Y-%m-%d %H:%M:%S", early, "0987-06-05 04:03:02"},
    // Used to go wrong: strftime's 0 for an empty result read as "buffer too
    // small" until the 1024-byte limit gave "<date error>".
    {"", modern, ""},
    {longest, modern, longest},
    {longest + "x", modern, "<date error>"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern.substr(0, 20));
    EXPECT_EQ(plat::formatDateTime(c.pattern.c_str(), c.time), c.expected);
  }
}

TEST(DateTimeParse, RejectsMalformedTextWithItsText) {
  const std::string cases[] = {
    "",                          "2024-03-05 05:07:08",        "2024-3-05T05:07:08",
    "2024-04-31T00:00:00",       "2023-02-29T00:00:00",        "1900-02-29T00:00:00",
    "2024-01-01T24:00:00",       "2024-01-01T00:00:00.Z",      "2024-01-01T00:00:00Zjunk",
    "2024-01-01T00:00:00+24:00", "2024-01-01T00:00:00+01:",    "+2024-01-01T00:00:00",
    std::string("2024-01-01T00:00:00Z\0junk", 25),
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    try {
      plat::parseIsoDateTime(text);
      ADD_FAILURE() << "accepted";
    } catch (const plat::Exception& e) {
      EXPECT_EQ(std::string(e.str()), "invalid date (" + std::string(text.c_str()) + ")");
      EXPECT_FALSE(e.hasType());
    }
  }
}

} // namespace
