// The module logger "corvane.auth.jwt".
//
// Records are pre-built texts written through spdlog's non-formatting
// overload: data never becomes a format string. write() escapes control
// characters, so every record is one line; values from outside are embedded
// through capped() (log_text.hpp), so one request cannot fill the log.
// Callers test enabled() before building a record's text, so records that are
// switched off cost a level comparison only.
#pragma once

#include <spdlog/spdlog.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::logging {

inline constexpr const char* kLoggerName = "corvane.auth.jwt";

// The logger, created once on first use. Its sinks are a thread-safe
// distributing sink, so sinks may be attached while other threads log.
spdlog::logger& logger();

// Where records go instead of spdlog's sinks, when a host has its own
// logging (the Python binding): asked per record whether the level is on,
// and given each record's finished text.
class Backend {
 public:
  virtual ~Backend() = default;
  virtual bool enabled(spdlog::level::level_enum level) = 0;
  virtual void write(spdlog::level::level_enum level, std::string_view text) = 0;
};

// Routes every record to `backend`, which must live as long as the process
// may log; null routes them to spdlog again.
void set_backend(Backend* backend);
Backend* backend();

inline bool enabled(spdlog::level::level_enum level) {
  if (Backend* other = backend()) return other->enabled(level);
  return logger().should_log(level);
}

void write(spdlog::level::level_enum level, std::string_view text);
inline void debug(std::string_view text) { write(spdlog::level::debug, text); }
inline void info(std::string_view text) { write(spdlog::level::info, text); }
inline void warning(std::string_view text) { write(spdlog::level::warn, text); }

// Attaches and detaches sinks of the logger (the host's logging configuration).
void add_sink(std::shared_ptr<spdlog::sinks::sink> sink);
void remove_sink(const std::shared_ptr<spdlog::sinks::sink>& sink);

// The level name the system uses: "debug", "info", "warning", ...
std::string_view level_name(spdlog::level::level_enum level);

struct Record {
  spdlog::level::level_enum level;
  std::string message;
  bool operator==(const Record&) const = default;
};

// Collects every record of the logger while it lives, from every thread; the
// logger's level is set to `level` meanwhile and restored afterwards.
class Capture {
 public:
  explicit Capture(spdlog::level::level_enum level = spdlog::level::debug);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Record> records() const;
  std::vector<std::string> messages() const;
  void clear();

 private:
  struct Sink;
  std::shared_ptr<Sink> sink_;
  spdlog::level::level_enum previous_level_;
};

}  // namespace corvane::logging
