#include "settings.hpp"

#include <cmath>
#include <utility>

#include "failures.hpp"
#include "pyfloat.hpp"

namespace corvane {

std::shared_ptr<ConfigValue> SettingsReader::lookup(std::string_view key) {
  return map_ ? map_->item(key) : nullptr;
}

std::string SettingsReader::where(std::string_view key) const {
  return path_.empty() ? std::string(key) : path_ + "." + std::string(key);
}

// An absent key: its default where it has one; the fallback where its section was replaced
// by the defaults; else the key is required.
double SettingsReader::absent(std::string_view key, std::optional<double> missing,
                              double fallback) const {
  if (missing) return *missing;
  if (defaults_) return fallback;
  throw MissingSetting(std::string(key));
}

void SettingsReader::misread(std::string_view key, ConfigValue& value, const std::string& what) {
  if (log_) log_(one_line("configuration " + where(key) + " = " + value.repr() + " " + what));
}

SettingsReader SettingsReader::section(std::string_view key, bool required) {
  std::shared_ptr<ConfigValue> value = lookup(key);
  if (!value) {
    if (required && !defaults_) throw MissingSetting(std::string(key));
    return SettingsReader(nullptr, where(key), log_, defaults_);
  }
  if (!value->is_map()) {
    misread(key, *value, "is not a table; its defaults apply");
    return SettingsReader(nullptr, where(key), log_, true);
  }
  return SettingsReader(std::move(value), where(key), log_, defaults_);
}

double SettingsReader::number(std::string_view key, std::optional<double> missing,
                              double fallback) {
  std::shared_ptr<ConfigValue> value = lookup(key);
  if (!value) return absent(key, missing, fallback);
  if (!value->is_bool()) {
    std::optional<double> d = value->number();
    if (d && !std::isnan(*d)) return *d;
  }
  misread(key, *value, "is not a number; using " + py_float_repr(fallback));
  return fallback;
}

double SettingsReader::duration(std::string_view key, double fallback) {
  std::shared_ptr<ConfigValue> value = lookup(key);
  if (!value) return absent(key, std::nullopt, fallback);
  std::optional<double> seconds = value->duration();
  if (seconds && !std::isnan(*seconds)) return *seconds;
  misread(key, *value, "is not a duration; using " + py_float_repr(fallback) + " s");
  return fallback;
}

std::string SettingsReader::text(std::string_view key, const std::string& missing) {
  std::shared_ptr<ConfigValue> value = lookup(key);
  if (!value) return missing;
  if (std::optional<std::string> s = value->text()) return std::move(*s);
  misread(key, *value, "cannot be read as text");
  return missing;
}

bool SettingsReader::flag(std::string_view key, bool missing) {
  std::shared_ptr<ConfigValue> value = lookup(key);
  if (!value) return missing;
  if (std::optional<bool> truth = value->truth()) return *truth;
  misread(key, *value, "has no truth value");
  return missing;
}

}  // namespace corvane
