#pragma once

// Wall-clock time: signed 64-bit counts of 100 ns ticks since
// 1601-01-01 00:00:00 UTC, and the date texts built from it.

#include <cstdint>
#include <string>

namespace plat {

constexpr int64_t wallTicksPerSecond = 10000000;
constexpr int64_t wallTicksPerMs = 10000;
// 1970-01-01 00:00:00 UTC on the wall clock.
constexpr int64_t unixEpochSeconds = 11644473600;
constexpr int64_t unixEpochTicks = 116444736000000000;

// The current wall-clock time.
int64_t wallTimeNow();

// Conversions from Unix times; results beyond the 64-bit range saturate at
// the smallest or largest value instead of overflowing.
int64_t wallTimeFromUnix(int64_t seconds);
int64_t wallTimeFromTimeval(int64_t seconds, int64_t microseconds);
int64_t wallTimeFromTimespec(int64_t seconds, int64_t nanoseconds);
// Whole Unix seconds, rounded down.
int64_t unixSecondsFromWallTime(int64_t wall);

// A broken-down time. Total for every wall-clock value.
struct DateTime {
  int year = 1601;
  int month = 1;   // 1..12
  int day = 1;     // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int weekday = 1; // 0 = Sunday
  int yearDay = 0; // 0 = 1 January
  bool isDst = false;
  long utcOffsetSeconds = 0; // local minus UTC
  const char* zoneName = "UTC";
};

DateTime utcDateTime(int64_t wall);
// In the process's time zone (initialised once); UTC when that fails.
DateTime localDateTime(int64_t wall);

// "YYYY-MM-DDTHH:MM:SS", then ".mmm" when asked; "<date error>" for a year
// outside 0..9999, which four digits cannot hold. Log lines in UTC append
// "Z" themselves.
std::string formatIsoDateTime(const DateTime& time, bool withMillis);

// "+HH:MM" or "-HH:MM"; the offset must lie within one year.
std::string formatUtcOffset(long offSecs);

// strftime with "%Y" always four digits; "<date error>" when the result
// would exceed 1024 bytes.
std::string formatDateTime(const char* pattern, const DateTime& time);

// Reads "YYYY-MM-DDTHH:MM:SS" with an optional fraction (".f", any number
// of digits, kept to 100 ns) and an optional zone: "Z", or "+"/"-" with
// "HH", "HHMM" or "HH:MM". Without a zone the time is taken as UTC. Throws
// Exception "invalid date (<text>)" for anything else.
int64_t parseIsoDateTime(const std::string& text);

} // namespace plat
