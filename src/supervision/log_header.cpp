#include "supervision/log_header.h"

#include <chrono>
#include <cstdio>

namespace lumivane {

std::string dateDescription(TimePoint date) {
  using namespace std::chrono;
  // Round towards the past, also before 1970, so that the seconds shown never run ahead.
  const auto seconds = floor<std::chrono::seconds>(date);
  const auto day = floor<days>(seconds);
  const year_month_day ymd{day};
  const hh_mm_ss<std::chrono::seconds> time{seconds - day};

  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02ld:%02ld:%02ld +0000",
                static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                static_cast<unsigned>(ymd.day()), static_cast<long>(time.hours().count()),
                static_cast<long>(time.minutes().count()),
                static_cast<long>(time.seconds().count()));
  return text;
}

std::string logHeader(TimePoint date) {
  return "\n--- Lumivane started " + dateDescription(date) + " ---\n";
}

}  // namespace lumivane
