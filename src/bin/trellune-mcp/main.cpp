// Entry and exit of trellune-mcp: prepare the process, build the event loop,
// run the main task on it, and turn the result into the exit status.
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "bin/trellune-mcp/bridge_config.hpp"
#include "bin/trellune-mcp/process_setup.hpp"
#include "bin/trellune-mcp/relay_loop.hpp"
#include "bridge/stdio_ends.hpp"
#include "event_loop/event_loop.hpp"
#include "base/fatal.hpp"
#include "io_error/io_error.hpp"

namespace trellune {
namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitIoError = 1;
constexpr int kExitMissingConfig = 2;

// "缺少" (missing) and "退出" (exit), with a full-width comma before the last word.
constexpr std::string_view kMissingConfigDiagnostic =
    "trellune-mcp: \xe7\xbc\xba\xe5\xb0\x91 TRELLUNE_MCP_PORT / TRELLUNE_MCP_TOKEN"
    "\xef\xbc\x8c\xe9\x80\x80\xe5\x87\xba\n";

[[noreturn]] void exit_missing_config() {
  // A failed diagnostic changes nothing: the process still ends before any
  // connection is attempted.
  (void)write_all_to_stderr(kMissingConfigDiagnostic);
  flush_process_stdout_at_exit();
  std::exit(kExitMissingConfig);
}

Task<IoStatus> main_task(EventLoop& loop) {
  std::optional<BridgeConfig> config = load_bridge_config();
  if (!config) {
    exit_missing_config();
  }
  Task<IoStatus> relaying = run_relay_loop(loop, std::move(*config));
  co_return co_await std::move(relaying);
}

// The event loop as the bridge runs it. What the spins buy, and what other
// limits cost, is in docs/performance-log.md ("The hand-over without system
// calls", "Other spin limits").
EventLoopSettings bridge_loop_settings() {
  EventLoopSettings settings;
  // The loop watches the socket, descriptor 0 and its wake-up eventfd, so a
  // wait never fills the array.
  settings.max_events_per_wait = 1024;
  // The relay keeps at most one job in flight, so the bridge runs one worker;
  // the limit is only a bound.
  settings.max_workers = 512;
  // Ends only workers beyond the last, which outlives it; one job at a time
  // seldom starts any.
  settings.worker_idle_timeout = std::chrono::seconds(10);
  // Every request hands a job to the worker and takes its completion back:
  // a hand-over between running threads ends within the spin, while an
  // application's answer takes far longer, so a spin that runs out adds
  // little to a request.
  settings.worker_spin = std::chrono::microseconds(50);
  settings.loop_spin = std::chrono::microseconds(50);
  return settings;
}

std::unique_ptr<EventLoop> build_event_loop() {
  IoResult<std::unique_ptr<EventLoop>> loop = EventLoop::create(bridge_loop_settings());
  if (!loop) {
    // "Runtime" is this message's fixed name for the event loop: reports and
    // scripts match the text as it is.
    TRELLUNE_FATAL("Failed building the Runtime: " + loop.error().debug_string());
  }
  return std::move(loop).value();
}

void report_error(const IoError& error) {
  std::string line = "Error: ";
  StringSink sink;
  (void)error.render_debug(sink);
  line += sink.text();
  line += '\n';
  (void)write_all_to_stderr(line);  // a broken standard error still exits 1
}

int run() {
  end_with_parent();
  close_inherited_descriptors();
  ensure_standard_descriptors();
  ignore_broken_pipe_signal();
  keep_large_buffers_in_the_heap();
  // The argument vector is deliberately never read.

  std::unique_ptr<EventLoop> loop = build_event_loop();
  IoStatus result = loop->block_on(main_task(*loop));
  loop->shutdown();
  loop.reset();

  int status = kExitSuccess;
  if (!result) {
    report_error(result.error());
    status = kExitIoError;
  }
  flush_process_stdout_at_exit();
  return status;
}

}  // namespace
}  // namespace trellune

int main() { return trellune::run(); }
