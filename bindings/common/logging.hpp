// The structured logger of a module.
#pragma once

#include <nanobind/nanobind.h>

#include <string_view>
#include <tuple>

namespace zelvora::py {

namespace nb = nanobind;

/// A module's structlog logger, named after the module's dotted path. It holds the
/// library's lazy proxy, so the logging configuration in force at each call applies
/// (capture_logs included). Events are text_bytes (common/conversions.hpp), so a user
/// text with a lone surrogate reaches the record unchanged.
class Logger {
 public:
  Logger() = default;
  explicit Logger(const char* dotted_name);
  void warning(std::string_view event) const { emit("warning", event); }
  void info(std::string_view event) const { emit("info", event); }
  void debug(std::string_view event) const { emit("debug", event); }
  /// The library's logger object, for publishing it as the module's `logger`.
  const nb::object& proxy() const { return proxy_; }

 private:
  void emit(const char* level, std::string_view event) const;
  nb::object proxy_;

 public:
  /// Its Python reference, for a module state holding the logger.
  static constexpr auto references = std::make_tuple(&Logger::proxy_);
};

}  // namespace zelvora::py
