// Reading a watcher's settings from the job's configuration map. A missing required key is
// an error; a missing optional section reads as empty; a value of the wrong type (a number
// that is text, a section that is no map, a duration that does not parse, a value with no
// text or no truth value) is replaced by its default and logged, so a bad value passed in
// does not stop a watcher.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// One value of the configuration, as the host holds it. The binding implements it over host
// objects; an error of the host other than those named below passes through unchanged.
class ConfigValue {
 public:
  virtual ~ConfigValue() = default;
  // The value under `key` of this map; null when the key is absent.
  virtual std::shared_ptr<ConfigValue> item(std::string_view key) = 0;
  virtual bool is_map() = 0;
  virtual bool is_bool() = 0;
  virtual bool is_none() = 0;
  // The value of an int (bools included); nothing for any other type. An int beyond 64
  // bits raises the host's error.
  virtual std::optional<std::int64_t> whole_number() = 0;
  // float(v); nothing when the host refuses it.
  virtual std::optional<double> number() = 0;
  // The seconds of str(v) read as a duration ("30s", "5m"); nothing when it does not parse.
  virtual std::optional<double> duration() = 0;
  // str(v) as UTF-8 (lone surrogates kept); nothing when the host refuses it.
  virtual std::optional<std::string> text() = 0;
  // bool(v); nothing when the host refuses it.
  virtual std::optional<bool> truth() = 0;
  // repr(v) for messages; "?" when the host refuses it.
  virtual std::string repr() = 0;
};

// A required key that the configuration lacks; the host's KeyError(key).
struct MissingSetting : std::exception {
  std::string key;
  explicit MissingSetting(std::string k) : key(std::move(k)) {}
  const char* what() const noexcept override { return key.c_str(); }
};

// A value the job cannot run with; the host's ValueError(message).
struct InvalidSetting : std::exception {
  std::string message;
  explicit InvalidSetting(std::string m) : message(std::move(m)) {}
  const char* what() const noexcept override { return message.c_str(); }
};

// Receives each "configuration <path> = <repr> ..." line.
using SettingsLog = std::function<void(const std::string&)>;

// One section of the configuration.
class SettingsReader {
 public:
  // The whole configuration; `root` null reads as an empty map.
  SettingsReader(std::shared_ptr<ConfigValue> root, SettingsLog log)
      : SettingsReader(std::move(root), "", std::move(log), false) {}

  // A subsection; a missing optional one reads as empty, one that is no map as its defaults.
  SettingsReader section(std::string_view key, bool required);

  // A number. `missing` is the value of an absent key (none: the key is required);
  // `fallback` replaces a value that is not a number (a bool, NaN, or what float() refuses).
  double number(std::string_view key, std::optional<double> missing, double fallback);
  // A required duration in seconds; `fallback` replaces one that does not parse.
  double duration(std::string_view key, double fallback);
  // str() of a value, `missing` when absent or unreadable.
  std::string text(std::string_view key, const std::string& missing);
  // The truth of a value, `missing` when absent or when it has none.
  bool flag(std::string_view key, bool missing);

 private:
  SettingsReader(std::shared_ptr<ConfigValue> map, std::string path, SettingsLog log, bool defaults)
      : map_(std::move(map)), path_(std::move(path)), log_(std::move(log)), defaults_(defaults) {}

  std::shared_ptr<ConfigValue> lookup(std::string_view key);
  std::string where(std::string_view key) const;
  double absent(std::string_view key, std::optional<double> missing, double fallback) const;
  void misread(std::string_view key, ConfigValue& value, const std::string& what);

  std::shared_ptr<ConfigValue> map_;  // null: an empty section
  std::string path_;                  // "monitor.nvlink"; empty at the top
  SettingsLog log_;
  bool defaults_;  // a section above this one was no map and was replaced by its defaults
};

}  // namespace corvane
