// The start header of the server log and the date in it.
#include "supervision/log_header.h"

#include <gtest/gtest.h>

#include <chrono>

namespace lumivane {
namespace {

using namespace std::chrono;

TimePoint at(year_month_day day, hours h, minutes m, seconds s, nanoseconds fraction = {}) {
  return sys_days{day} + h + m + s + fraction;
}

TEST(DateDescription, IsUTCWithEveryFieldPadded) {
  const struct {
    const char* name;
    TimePoint date;
    const char* expected;
  } cases[] = {
      {"noon", at(2026y / December / 10, 12h, 0min, 0s), "2026-12-10 12:00:00 +0000"},
      {"single digits padded", at(2027y / January / 2, 3h, 4min, 5s), "2027-01-02 03:04:05 +0000"},
      {"fraction dropped", at(2026y / December / 31, 23h, 59min, 59s, 999'999'999ns),
       "2026-12-31 23:59:59 +0000"},
      {"leap day", at(2028y / February / 29, 0h, 0min, 0s), "2028-02-29 00:00:00 +0000"},
      {"start of 1970", TimePoint{}, "1970-01-01 00:00:00 +0000"},
      {"before 1970 rounds down", TimePoint{} - 500ms, "1969-12-31 23:59:59 +0000"},
      {"one nanosecond before 1970", TimePoint{} - 1ns, "1969-12-31 23:59:59 +0000"},
      {"long before 1970", at(1700y / March / 4, 5h, 6min, 7s, 1ns), "1700-03-04 05:06:07 +0000"},
  };
  for (const auto& c : cases) EXPECT_EQ(dateDescription(c.date), c.expected) << c.name;
}

TEST(LogHeader, SetsTheRunOffFromThePreviousOne) {
  EXPECT_EQ(logHeader(at(2026y / December / 10, 12h, 0min, 7s, 250ms)),
            "\n--- Lumivane started 2026-12-10 12:00:07 +0000 ---\n");
}

}  // namespace
}  // namespace lumivane
