#include "base/plat/Time.h"

#include "base/plat/Assert.h"
#include "base/plat/Exception.h"
#include "base/plat/Format.h"

#include <cctype>
#include <ctime>
#include <limits>
#include <mutex>
#include <vector>

namespace plat {

namespace {

constexpr int64_t secondsPerDay = 86400;
constexpr const char* dateError = "<date error>";

int64_t floorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if (a % b != 0 && (a < 0) != (b < 0))
    q--;
  return q;
}

int64_t floorMod(int64_t a, int64_t b) {
  int64_t r = a % b;
  if (r != 0 && (r < 0) != (b < 0))
    r += b;
  return r;
}

int64_t saturate(__int128 ticks) {
  if (ticks > std::numeric_limits<int64_t>::max())
    return std::numeric_limits<int64_t>::max();
  if (ticks < std::numeric_limits<int64_t>::min())
    return std::numeric_limits<int64_t>::min();
  return int64_t(ticks);
}

int64_t wallFromUnixParts(int64_t seconds, int64_t fraction, int64_t ticksPerUnit, bool multiply) {
  __int128 sub = multiply ? __int128(fraction) * ticksPerUnit : __int128(fraction) / ticksPerUnit;
  return saturate(__int128(seconds) * wallTicksPerSecond + sub + unixEpochTicks);
}

// Proleptic Gregorian calendar arithmetic on days since 1970-01-01, valid for
// every year a 64-bit wall-clock value can reach.
int64_t daysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2;
  int64_t era = floorDiv(year, 400);
  int64_t yearOfEra = year - era * 400;
  int64_t dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void civilFromDays(int64_t days, DateTime& out) {
  days += 719468;
  int64_t era = floorDiv(days, 146097);
  int64_t dayOfEra = days - era * 146097;
  int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  int64_t monthIndex = (5 * dayOfYear + 2) / 153;
  out.day = int(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  out.month = int(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  out.year = int(yearOfEra + era * 400 + (out.month <= 2));
}

bool isLeapYear(int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int64_t year, int month) {
  static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && isLeapYear(year))
    return 29;
  return days[month - 1];
}

void initTimeZone() {
  static std::once_flag once;
  std::call_once(once, [] { tzset(); });
}

bool localFromSeconds(int64_t unixSeconds, DateTime& out) {
  initTimeZone();
  time_t seconds = time_t(unixSeconds);
  if (int64_t(seconds) != unixSeconds)
    return false;
  tm local{};
  if (!localtime_r(&seconds, &local))
    return false;
  out.year = local.tm_year + 1900;
  out.month = local.tm_mon + 1;
  out.day = local.tm_mday;
  out.hour = local.tm_hour;
  out.minute = local.tm_min;
  out.second = local.tm_sec;
  out.weekday = local.tm_wday;
  out.yearDay = local.tm_yday;
  out.isDst = local.tm_isdst > 0;
  out.utcOffsetSeconds = local.tm_gmtoff;
  out.zoneName = local.tm_zone ? local.tm_zone : "";
  return true;
}

tm toTm(const DateTime& time) {
  tm out{};
  out.tm_year = time.year - 1900;
  out.tm_mon = time.month - 1;
  out.tm_mday = time.day;
  out.tm_hour = time.hour;
  out.tm_min = time.minute;
  out.tm_sec = time.second;
  out.tm_wday = time.weekday;
  out.tm_yday = time.yearDay;
  out.tm_isdst = time.isDst ? 1 : 0;
  out.tm_gmtoff = time.utcOffsetSeconds;
  out.tm_zone = time.zoneName;
  return out;
}

// glibc prints years below 1000 with fewer digits; dates here always have four.
std::string withFourDigitYear(const char* pattern, int year) {
  std::string out;
  for (const char* p = pattern; *p; p++) {
    if (p[0] != '%' || !p[1]) {
      out += *p;
      continue;
    }
    if (p[1] == 'Y')
      out += format("%04d", year);
    else
      out.append(p, 2);
    p++;
  }
  return out;
}

// A cursor over the text being parsed; any mismatch throws.
class IsoReader {
public:
  explicit IsoReader(const std::string& text) : text_(text) {}

  int number(size_t digits) {
    int value = 0;
    for (size_t i = 0; i < digits; i++) {
      if (!isDigit())
        fail();
      value = value * 10 + (text_[pos_++] - '0');
    }
    return value;
  }

  void expect(char c) {
    if (!accept(c))
      fail();
  }

  bool accept(char c) {
    if (pos_ >= text_.size() || text_[pos_] != c)
      return false;
    pos_++;
    return true;
  }

  bool isDigit() const {
    return pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]));
  }

  bool atEnd() const { return pos_ == text_.size(); }

  // Digits after the decimal point as 100 ns ticks; digits beyond the
  // seventh are read but cannot change the result.
  int64_t fractionTicks() {
    if (!isDigit())
      fail();
    int64_t ticks = 0;
    int64_t scale = wallTicksPerSecond / 10;
    while (isDigit()) {
      ticks += (text_[pos_++] - '0') * scale;
      scale /= 10;
    }
    return ticks;
  }

  [[noreturn]] void fail() const { throw Exception(format("invalid date (%s)", text_.c_str())); }

private:
  const std::string& text_;
  size_t pos_ = 0;
};

int64_t zoneOffsetSeconds(IsoReader& reader) {
  if (reader.accept('Z') || reader.atEnd())
    return 0;
  int sign = 1;
  if (reader.accept('-'))
    sign = -1;
  else
    reader.expect('+');
  int hours = reader.number(2);
  int minutes = 0;
  if (reader.accept(':'))
    minutes = reader.number(2);
  else if (reader.isDigit())
    minutes = reader.number(2);
  if (hours > 23 || minutes > 59)
    reader.fail();
  return sign * (hours * 3600 + minutes * 60);
}

} // namespace

int64_t wallTimeNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return wallTimeFromTimespec(ts.tv_sec, ts.tv_nsec);
}

int64_t wallTimeFromUnix(int64_t seconds) {
  return wallFromUnixParts(seconds, 0, 1, true);
}

int64_t wallTimeFromTimeval(int64_t seconds, int64_t microseconds) {
  return wallFromUnixParts(seconds, microseconds, 10, true);
}

int64_t wallTimeFromTimespec(int64_t seconds, int64_t nanoseconds) {
  return wallFromUnixParts(seconds, nanoseconds, 100, false);
}

int64_t unixSecondsFromWallTime(int64_t wall) {
  return floorDiv(wall, wallTicksPerSecond) - unixEpochSeconds;
}

DateTime utcDateTime(int64_t wall) {
  DateTime out;
  int64_t unixSeconds = unixSecondsFromWallTime(wall);
  int64_t days = floorDiv(unixSeconds, secondsPerDay);
  int64_t secondOfDay = unixSeconds - days * secondsPerDay;
  civilFromDays(days, out);
  out.hour = int(secondOfDay / 3600);
  out.minute = int(secondOfDay / 60 % 60);
  out.second = int(secondOfDay % 60);
  out.millisecond = int(floorMod(wall, wallTicksPerSecond) / wallTicksPerMs);
  out.weekday = int(floorMod(days + 4, 7)); // 1970-01-01 was a Thursday
  out.yearDay = int(days - daysFromCivil(out.year, 1, 1));
  return out;
}

DateTime localDateTime(int64_t wall) {
  DateTime out;
  if (!localFromSeconds(unixSecondsFromWallTime(wall), out))
    return utcDateTime(wall);
  out.millisecond = int(floorMod(wall, wallTicksPerSecond) / wallTicksPerMs);
  return out;
}

std::string formatIsoDateTime(const DateTime& time, bool withMillis) {
  if (time.year < 0 || time.year > 9999)
    return dateError;
  std::string text = format("%04d-%02d-%02dT%02d:%02d:%02d", time.year, time.month, time.day,
                            time.hour, time.minute, time.second);
  if (withMillis)
    text += format(".%03d", time.millisecond);
  return text;
}

std::string formatUtcOffset(long offSecs) {
  PLAT_ASSERT(offSecs < 365*86400 && offSecs > -365*86400);
  char sign = offSecs < 0 ? '-' : '+';
  long magnitude = offSecs < 0 ? -offSecs : offSecs;
  return format("%c%02ld:%02ld", sign, magnitude / 3600, magnitude / 60 % 60);
}

std::string formatDateTime(const char* pattern, const DateTime& time) {
  // strftime returns 0 both for "too small" and for an empty result; a
  // trailing space keeps a legitimately empty result from reading as the
  // former (an empty pattern used to end in "<date error>").
  std::string fullPattern = withFourDigitYear(pattern, time.year) + " ";
  tm parts = toTm(time);
  for (size_t size = 16; size <= 1024; size *= 2) {
    std::vector<char> buffer(size + 1); // room for the trailing space
    size_t length = strftime(buffer.data(), buffer.size(), fullPattern.c_str(), &parts);
    if (length > 0)
      return std::string(buffer.data(), length - 1);
  }
  return dateError;
}

int64_t parseIsoDateTime(const std::string& text) {
  IsoReader reader(text);
  int year = reader.number(4);
  reader.expect('-');
  int month = reader.number(2);
  reader.expect('-');
  int day = reader.number(2);
  reader.expect('T');
  int hour = reader.number(2);
  reader.expect(':');
  int minute = reader.number(2);
  reader.expect(':');
  int second = reader.number(2);
  int64_t fraction = reader.accept('.') ? reader.fractionTicks() : 0;
  int64_t offset = zoneOffsetSeconds(reader);
  if (!reader.atEnd())
    reader.fail();
  if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month))
    reader.fail();
  if (hour > 23 || minute > 59 || second > 59)
    reader.fail();

  int64_t unixSeconds = daysFromCivil(year, month, day) * secondsPerDay + hour * 3600 +
                        minute * 60 + second - offset;
  return (unixSeconds + unixEpochSeconds) * wallTicksPerSecond + fraction;
}

} // namespace plat
