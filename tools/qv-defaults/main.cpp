// qv-defaults: reads, writes, lists and watches a defaults domain from the shell.
//
// `read` prints data blobs as their raw bytes and every other value followed by a
// newline: strings raw, bools true/false, integers in decimal, reals in their shortest
// round-trip form, dates as ISO-8601 UTC. `watch` prints "KEY<TAB>VALUE" lines in the
// same forms (data raw, then a newline). Exit status: 0 done, 1 absent value or store
// failure, 2 bad arguments.

#include <pthread.h>
#include <signal.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/UserDefaults.h"
#include "platform/linux/store/SqliteUserDefaults.h"

namespace qv {
namespace {

constexpr const char* kUsage =
    "usage: qv-defaults (--suite NAME | --app BUNDLE_ID) (read KEY | write KEY (--data TEXT | "
    "--string TEXT | --bool true|false | --integer N | --real X | --date ISO-8601) | delete KEY "
    "| list | watch KEY...)";

struct Command {
  bool suite = false;
  std::string domain;
  std::string verb;
  std::vector<std::string> keys;
  std::optional<UserDefaults::Value> value;  // for write
};

// ---- Dates: ISO-8601 <-> seconds since 1970, calendar arithmetic without time zones.

std::int64_t daysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

void civilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

bool isLeapYear(std::int64_t year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(std::int64_t year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Parsing and formatting share this, so a printed date reads back as the same double.
double secondsFrom(std::int64_t wholeSeconds, std::string_view fractionDigits) {
  double fraction = 0;
  if (!fractionDigits.empty()) {
    std::string text = "0." + std::string(fractionDigits);
    std::from_chars(text.data(), text.data() + text.size(), fraction);
  }
  return static_cast<double>(wholeSeconds) + fraction;
}

// Exactly `count` ASCII digits at `text[pos]`.
std::optional<int> fixedDigits(std::string_view text, std::size_t pos, std::size_t count) {
  if (pos + count > text.size()) return std::nullopt;
  int value = 0;
  for (std::size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// YYYY-MM-DDTHH:MM:SS[.fraction](Z|+HH:MM|-HH:MM)
std::optional<double> parseIsoDate(std::string_view text) {
  auto year = fixedDigits(text, 0, 4), month = fixedDigits(text, 5, 2),
       day = fixedDigits(text, 8, 2), hour = fixedDigits(text, 11, 2),
       minute = fixedDigits(text, 14, 2), second = fixedDigits(text, 17, 2);
  if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' || text[7] != '-' ||
      text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return std::nullopt;
  }
  if (*month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
      *minute > 59 || *second > 59) {
    return std::nullopt;
  }
  std::size_t pos = 19;
  std::string_view fraction;
  if (pos < text.size() && text[pos] == '.') {
    std::size_t end = text.find_first_not_of("0123456789", pos + 1);
    if (end == std::string_view::npos) end = text.size();
    fraction = text.substr(pos + 1, end - pos - 1);
    if (fraction.empty()) return std::nullopt;
    pos = end;
  }
  int offsetSeconds = 0;
  if (text.substr(pos) == "Z") {
    pos += 1;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    auto offsetHour = fixedDigits(text, pos + 1, 2), offsetMinute = fixedDigits(text, pos + 4, 2);
    if (!offsetHour || !offsetMinute || text[pos + 3] != ':' || *offsetHour > 23 ||
        *offsetMinute > 59 || pos + 6 != text.size()) {
      return std::nullopt;
    }
    offsetSeconds = (text[pos] == '+' ? 1 : -1) * (*offsetHour * 3600 + *offsetMinute * 60);
    pos += 6;
  } else {
    return std::nullopt;  // a time without a zone is ambiguous
  }
  if (pos != text.size()) return std::nullopt;
  const std::int64_t whole = daysFromCivil(*year, *month, *day) * 86400 +
                             std::int64_t{*hour} * 3600 + std::int64_t{*minute} * 60 + *second -
                             offsetSeconds;
  return secondsFrom(whole, fraction);
}

std::string shortestReal(double value) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  return ec == std::errc() ? std::string(buffer, end) : std::string();
}

// The fewest fraction digits (up to nanoseconds) that read back as the same value.
std::string fractionDigitsFor(std::int64_t whole, double fraction, double value) {
  if (fraction == 0) return {};
  std::int64_t scale = 1;
  for (int count = 1; count <= 9; ++count) {
    scale *= 10;
    const auto scaled =
        static_cast<std::int64_t>(std::llround(fraction * static_cast<double>(scale)));
    if (scaled <= 0 || scaled >= scale) continue;
    std::string digits = std::to_string(scaled);
    digits.insert(0, static_cast<std::size_t>(count) - digits.size(), '0');
    if (secondsFrom(whole, digits) == value || count == 9) {
      while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
      return digits;
    }
  }
  return {};
}

std::string formatIsoDate(double value) {
  // Years 0000 to 9999; anything else is printed as plain seconds.
  if (!std::isfinite(value) || value < -62167219200.0 || value >= 253402300800.0) {
    return shortestReal(value);
  }
  const double wholeValue = std::floor(value);
  const auto whole = static_cast<std::int64_t>(wholeValue);
  const std::string fraction = fractionDigitsFor(whole, value - wholeValue, value);
  std::int64_t days = whole / 86400;
  std::int64_t secondOfDay = whole % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    days -= 1;
  }
  std::int64_t year = 0;
  int month = 0, day = 0;
  civilFromDays(days, year, month, day);
  char buffer[64];
  (void)std::snprintf(
      buffer, sizeof buffer, "%04lld-%02d-%02dT%02lld:%02lld:%02lld", static_cast<long long>(year),
      month, day, static_cast<long long>(secondOfDay / 3600),
      static_cast<long long>(secondOfDay / 60 % 60), static_cast<long long>(secondOfDay % 60));
  return std::string(buffer) + (fraction.empty() ? "" : "." + fraction) + "Z";
}

// ---- Values on the command line and on stdout.

template <typename Number>
std::optional<Number> parseNumber(std::string_view text) {
  Number value{};
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::optional<UserDefaults::Value> parseValue(std::string_view option, const std::string& text) {
  using Value = UserDefaults::Value;
  if (option == "--data") return Value(toBytes(text));
  if (option == "--string") return Value(text);
  if (option == "--bool") {
    if (text == "true" || text == "false") return Value(text == "true");
    return std::nullopt;
  }
  if (option == "--integer") {
    if (auto number = parseNumber<std::int64_t>(text)) return Value(*number);
    return std::nullopt;
  }
  if (option == "--real") {
    if (auto number = parseNumber<double>(text); number && std::isfinite(*number)) {
      return Value(*number);
    }
    return std::nullopt;
  }
  if (option == "--date") {
    if (auto seconds = parseIsoDate(text)) return Value(Date{*seconds});
    return std::nullopt;
  }
  return std::nullopt;
}

std::string formatValue(const UserDefaults::Value& value) {
  struct Formatter {
    std::string operator()(const Bytes& bytes) const { return toString(bytes); }
    std::string operator()(const std::string& text) const { return text; }
    std::string operator()(bool flag) const { return flag ? "true" : "false"; }
    std::string operator()(std::int64_t number) const { return std::to_string(number); }
    std::string operator()(double number) const { return shortestReal(number); }
    std::string operator()(Date date) const { return formatIsoDate(date.secondsSince1970); }
  };
  return std::visit(Formatter{}, value);
}

const char* typeName(const UserDefaults::Value& value) {
  static constexpr const char* kNames[] = {"data", "string", "bool", "integer", "real", "date"};
  return kNames[value.index()];
}

// With stdout gone there is no one left to tell, so failures are ignored.
void writeOut(const std::string& text) {
  (void)std::fwrite(text.data(), 1, text.size(), stdout);
  (void)std::fflush(stdout);
}

void printError(const std::string& message) {
  (void)std::fprintf(stderr, "qv-defaults: %s\n", message.c_str());
}

// ---- Arguments.

std::optional<Command> parseArguments(const std::vector<std::string>& args, std::string& error) {
  Command command;
  if (args.size() < 3 || (args[0] != "--suite" && args[0] != "--app")) {
    error = "expected --suite NAME or --app BUNDLE_ID, then a command";
    return std::nullopt;
  }
  command.suite = args[0] == "--suite";
  command.domain = args[1];
  command.verb = args[2];
  const std::vector<std::string> rest(args.begin() + 3, args.end());
  if (command.verb == "read" || command.verb == "delete") {
    if (rest.size() != 1) {
      error = command.verb + " takes one KEY";
      return std::nullopt;
    }
    command.keys = rest;
  } else if (command.verb == "write") {
    if (rest.size() != 3) {
      error = "write takes KEY, a type option and a value";
      return std::nullopt;
    }
    command.keys = {rest[0]};
    command.value = parseValue(rest[1], rest[2]);
    if (!command.value) {
      error = "bad value for " + rest[1] + ": " + rest[2];
      return std::nullopt;
    }
  } else if (command.verb == "list") {
    if (!rest.empty()) {
      error = "list takes no arguments";
      return std::nullopt;
    }
  } else if (command.verb == "watch") {
    if (rest.empty()) {
      error = "watch takes at least one KEY";
      return std::nullopt;
    }
    command.keys = rest;
  } else {
    error = "unknown command " + command.verb;
    return std::nullopt;
  }
  return command;
}

// ---- Commands.

int watch(UserDefaults& store, const std::vector<std::string>& keys, sigset_t signals) {
  std::vector<std::unique_ptr<Subscription>> subscriptions;
  subscriptions.reserve(keys.size());
  for (const std::string& key : keys) {
    // Callbacks all run on the store's watcher thread, so lines never interleave.
    subscriptions.push_back(store.subscribe(key, [&store, key] {
      std::optional<UserDefaults::Value> value = store.object(key);
      writeOut(key + "\t" + (value ? formatValue(*value) : "(absent)") + "\n");
    }));
  }
  int received = 0;
  sigwait(&signals, &received);
  subscriptions.clear();
  return 0;
}

int run(const Command& command, sigset_t signals) {
  LinuxUserDefaultsFactory factory;
  std::shared_ptr<UserDefaults> store =
      command.suite ? factory.suite(command.domain) : factory.standard(command.domain);
  if (!store) {
    printError("cannot open the defaults of " + command.domain);
    return 1;
  }
  if (command.verb == "read") {
    std::optional<UserDefaults::Value> value = store->object(command.keys[0]);
    if (!value) return 1;
    const bool raw = std::holds_alternative<Bytes>(*value);
    writeOut(formatValue(*value) + (raw ? "" : "\n"));
    return 0;
  }
  if (command.verb == "write" || command.verb == "delete") {
    if (store->set(command.keys[0], command.value)) return 0;
    printError("could not " + command.verb + " " + command.keys[0]);
    return 1;
  }
  if (command.verb == "list") {
    std::string lines;
    for (const auto& [key, value] : store->all()) lines += key + "\t" + typeName(value) + "\n";
    writeOut(lines);
    return 0;
  }
  return watch(*store, command.keys, signals);
}

}  // namespace
}  // namespace qv

int main(int argc, char** argv) {
  std::string error;
  std::optional<qv::Command> command =
      qv::parseArguments(std::vector<std::string>(argv + 1, argv + argc), error);
  if (!command) {
    qv::printError(error + "\n" + qv::kUsage);
    return 2;
  }
  // For `watch`, blocked before any thread starts so that only its sigwait receives them
  // and the store shuts down in order; other commands keep the default (die at once).
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  if (command->verb == "watch") pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return qv::run(*command, signals);
}
