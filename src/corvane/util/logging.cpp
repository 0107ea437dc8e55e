#include "corvane/util/logging.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/dist_sink.h>

#include <atomic>
#include <mutex>

#include "corvane/util/log_text.hpp"
#include "corvane/util/scratch.hpp"

namespace corvane::logging {
namespace {

struct LoggerHolder {
  std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks = std::make_shared<spdlog::sinks::dist_sink_mt>();
  std::shared_ptr<spdlog::logger> logger = std::make_shared<spdlog::logger>(kLoggerName, sinks);
  std::atomic<Backend*> backend{nullptr};
  LoggerHolder() { logger->set_level(spdlog::level::warn); }
};

LoggerHolder& holder() {
  static LoggerHolder instance;
  return instance;
}

}  // namespace

spdlog::logger& logger() { return *holder().logger; }

void set_backend(Backend* backend) { holder().backend.store(backend, std::memory_order_release); }

Backend* backend() { return holder().backend.load(std::memory_order_acquire); }

void write(spdlog::level::level_enum level, std::string_view text) {
  Backend* other = backend();
  auto& log = logger();
  if (other == nullptr && !log.should_log(level)) return;
  // Records embed request and token values: escaped here, before any sink or
  // backend (a file, a terminal, the host's own logging) sees them, a record
  // is one line whatever those values hold.
  ScratchText line;
  std::string_view record = text;
  if (!is_plain(text)) {
    append_escaped(line.text(), text);
    record = line.text();
  }
  if (other != nullptr) {
    other->write(level, record);
  } else {
    log.log(level, spdlog::string_view_t(record.data(), record.size()));
  }
}

void add_sink(std::shared_ptr<spdlog::sinks::sink> sink) { holder().sinks->add_sink(std::move(sink)); }

void remove_sink(const std::shared_ptr<spdlog::sinks::sink>& sink) { holder().sinks->remove_sink(sink); }

std::string_view level_name(spdlog::level::level_enum level) {
  switch (level) {
    case spdlog::level::trace: return "trace";
    case spdlog::level::debug: return "debug";
    case spdlog::level::info: return "info";
    case spdlog::level::warn: return "warning";
    case spdlog::level::err: return "error";
    case spdlog::level::critical: return "critical";
    default: return "off";
  }
}

struct Capture::Sink : spdlog::sinks::base_sink<std::mutex> {
  std::vector<Record> snapshot() {
    std::lock_guard lock(mutex_);
    return records;
  }
  void reset() {
    std::lock_guard lock(mutex_);
    records.clear();
  }

 protected:
  std::vector<Record> records;

  void sink_it_(const spdlog::details::log_msg& msg) override {
    records.push_back({msg.level, std::string(msg.payload.data(), msg.payload.size())});
  }
  void flush_() override {}
};

Capture::Capture(spdlog::level::level_enum level)
    : sink_(std::make_shared<Sink>()), previous_level_(logger().level()) {
  logger().set_level(level);
  add_sink(sink_);
}

Capture::~Capture() {
  remove_sink(sink_);
  logger().set_level(previous_level_);
}

std::vector<Record> Capture::records() const { return sink_->snapshot(); }

std::vector<std::string> Capture::messages() const {
  std::vector<std::string> out;
  for (auto& record : records()) out.push_back(record.message);
  return out;
}

void Capture::clear() { sink_->reset(); }

}  // namespace corvane::logging
