#include "fetch/FetchPolicy.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace orvanel {

const char* FetchErrorName(FetchError error) {
  switch (error) {
    case FetchError::kNone:
      return nullptr;
    case FetchError::kResolve:
      return "dns";
    case FetchError::kRefused:
      return "refused";
    case FetchError::kConnectTimeout:
      return "connect-timeout";
    case FetchError::kTimeout:
      return "timeout";
    case FetchError::kTls:
      return "tls";
    case FetchError::kRedirects:
      return "redirects";
    case FetchError::kHttpStatus:
      return "http";
    case FetchError::kTooLarge:
      return "too-large";
    case FetchError::kNetwork:
      return "network";
    case FetchError::kAddress:
      return "address";
    case FetchError::kFile:
      return "no-file";
    case FetchError::kSkippedHost:
      return "skipped-host";
  }
  return "network";
}

bool MayStopEarly(long status) { return status < 400; }

namespace {

std::string_view Trimmed(std::string_view value) {
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
  return value;
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int Number(std::string_view digits) {
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

int MonthIndex(std::string_view name) {
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  for (int i = 0; i < 12; ++i) {
    if (name == kMonths[static_cast<std::size_t>(i)]) return i;
  }
  return -1;
}

// Days from 1970-01-01 to a civil date (proleptic Gregorian), after H. Hinnant.
long long DaysFromCivil(long long y, int m, int d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const long long yoe = y - era * 400;
  const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

// "HH:MM:SS" into seconds of the day.
std::optional<long long> TimeOfDay(std::string_view t) {
  if (t.size() != 8 || t[2] != ':' || t[5] != ':') return std::nullopt;
  const auto hh = t.substr(0, 2), mm = t.substr(3, 2), ss = t.substr(6, 2);
  if (!AllDigits(hh) || !AllDigits(mm) || !AllDigits(ss)) return std::nullopt;
  const int h = Number(hh), m = Number(mm), s = Number(ss);
  if (h > 23 || m > 59 || s > 60) return std::nullopt;
  return h * 3600LL + m * 60LL + s;
}

std::optional<long long> Seconds(long long year, int month, int day, std::string_view time) {
  if (month < 0 || day < 1 || day > 31) return std::nullopt;
  const auto of_day = TimeOfDay(time);
  if (!of_day) return std::nullopt;
  return DaysFromCivil(year, month + 1, day) * 86'400 + *of_day;
}

// The text split at blanks.
std::array<std::string_view, 6> Words(std::string_view text, std::size_t& count) {
  std::array<std::string_view, 6> words{};
  count = 0;
  while (!text.empty()) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (text.empty()) break;
    const std::size_t end = std::min(text.find(' '), text.size());
    if (count == words.size()) {
      ++count;
      break;
    }
    words[count++] = text.substr(0, end);
    text.remove_prefix(end);
  }
  return words;
}

}  // namespace

std::optional<long long> ParseHttpDate(std::string_view text) {
  std::size_t n = 0;
  const auto w = Words(Trimmed(text), n);
  if (n == 6 && w[0].size() == 4 && w[0].back() == ',' && w[5] == "GMT") {
    // Sun, 06 Nov 1994 08:49:37 GMT
    if (!AllDigits(w[1]) || w[1].size() > 2 || !AllDigits(w[3]) || w[3].size() != 4)
      return std::nullopt;
    return Seconds(Number(w[3]), MonthIndex(w[2]), Number(w[1]), w[4]);
  }
  if (n == 4 && w[0].size() > 4 && w[0].back() == ',' && w[3] == "GMT") {
    // Sunday, 06-Nov-94 08:49:37 GMT; two-digit years count from 1970 (RFC 9110, 5.6.7).
    const std::string_view date = w[1];
    if (date.size() != 9 || date[2] != '-' || date[6] != '-') return std::nullopt;
    const auto day = date.substr(0, 2), year = date.substr(7, 2);
    if (!AllDigits(day) || !AllDigits(year)) return std::nullopt;
    const int yy = Number(year);
    return Seconds(yy < 70 ? 2000 + yy : 1900 + yy, MonthIndex(date.substr(3, 3)), Number(day),
                   w[2]);
  }
  if (n == 5 && w[0].size() == 3) {
    // Sun Nov  6 08:49:37 1994
    if (!AllDigits(w[2]) || w[2].size() > 2 || !AllDigits(w[4]) || w[4].size() != 4)
      return std::nullopt;
    return Seconds(Number(w[4]), MonthIndex(w[1]), Number(w[2]), w[3]);
  }
  return std::nullopt;
}

std::optional<long long> ParseRetryAfter(std::string_view value, long long now) {
  value = Trimmed(value);
  if (value.empty()) return std::nullopt;
  if (AllDigits(value)) {
    // Digits only: seconds. Anything past a day is as good as forever; stop counting there
    // so that no number of digits can overflow.
    long long seconds = 0;
    for (char c : value) {
      seconds = seconds * 10 + (c - '0');
      if (seconds > 86'400) return 86'400'000;
    }
    return seconds * 1000;
  }
  const auto when = ParseHttpDate(value);
  if (!when) return std::nullopt;
  const long long seconds = *when - now;
  if (seconds <= 0) return 0;
  return std::min(seconds, 86'400LL) * 1000;
}

std::optional<long long> RetryDelay(long status, int attempts,
                                    std::optional<std::string_view> retry_after, long long now,
                                    long long elapsed_ms, const FetcherOptions& options) {
  if (status != 429 && status != 503) return std::nullopt;
  if (attempts > options.retries) return std::nullopt;
  long long wait = options.retry_wait_ms;
  if (retry_after) {
    if (const auto asked = ParseRetryAfter(*retry_after, now)) wait = *asked;
  }
  wait = std::min<long long>(wait, options.max_retry_wait_ms);
  if (elapsed_ms + wait >=
      static_cast<long long>(options.retry_window_timeouts) * options.timeout_ms) {
    return std::nullopt;
  }
  return wait;
}

FetchError ClassifyFailure(const FailureFacts& facts) {
  switch (facts.fault) {
    case TransferFault::kNone:
      return FetchError::kNone;
    case TransferFault::kResolve:
      return FetchError::kResolve;
    case TransferFault::kConnect:
      return FetchError::kRefused;
    case TransferFault::kTimedOut:
      return facts.connected ? FetchError::kTimeout : FetchError::kConnectTimeout;
    case TransferFault::kTls:
      return FetchError::kTls;
    case TransferFault::kRedirects:
      return FetchError::kRedirects;
    case TransferFault::kBodyTooLarge:
    case TransferFault::kHeadersTooLarge:
      return FetchError::kTooLarge;
    case TransferFault::kUnsupportedScheme:
    case TransferFault::kOther:
      return FetchError::kNetwork;
  }
  return FetchError::kNetwork;
}

std::string SteadyDetail(std::string_view text) {
  // libcurl's words carry how long it took and how much came: " after 1001 ms",
  // " after 30001 milliseconds", " with 0 bytes received", " with 5 out of 9 bytes
  // received". They go; the rest stays as it was said.
  std::string out;
  std::size_t i = 0;
  auto digits_at = [&](std::size_t at) {
    std::size_t end = at;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    return end;
  };
  auto phrase = [&](std::size_t at, std::string_view word, std::size_t& end) {
    if (text.substr(at, word.size()) != word) return false;
    end = at + word.size();
    return true;
  };
  while (i < text.size()) {
    std::size_t end = 0;
    if (phrase(i, " after ", end)) {
      const std::size_t number_end = digits_at(end);
      std::size_t unit_end = 0;
      if (number_end > end &&
          (phrase(number_end, " milliseconds", unit_end) || phrase(number_end, " ms", unit_end))) {
        i = unit_end;
        continue;
      }
    }
    if (phrase(i, " with ", end)) {
      std::size_t number_end = digits_at(end);
      std::size_t rest = 0;
      if (number_end > end && phrase(number_end, " out of ", rest)) number_end = digits_at(rest);
      if (number_end > end && phrase(number_end, " bytes received", rest)) {
        i = rest;
        continue;
      }
    }
    out += text[i++];
  }
  return out;
}

RedirectVerdict JudgeRedirect(std::string_view scheme, int followed, int max_redirects) {
  auto is = [&](std::string_view name) {
    return scheme.size() == name.size() &&
           std::equal(scheme.begin(), scheme.end(), name.begin(), [](char a, char b) {
             return std::tolower(static_cast<unsigned char>(a)) == b;
           });
  };
  if (!is("http") && !is("https")) return RedirectVerdict::kRefusedScheme;
  if (followed >= max_redirects) return RedirectVerdict::kTooMany;
  return RedirectVerdict::kFollow;
}

}  // namespace orvanel
