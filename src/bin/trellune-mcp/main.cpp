// Entry and exit of trellune-mcp: prepare the process, build the event loop,
// run the main task on it, and turn the result into the exit status.
#include <cstdlib>
#include <memory>
#include <string>

#include "bin/trellune-mcp/bridge_config.hpp"
#include "bin/trellune-mcp/process_setup.hpp"
#include "bin/trellune-mcp/relay_loop.hpp"
#include "bridge/line_channel.hpp"
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

std::unique_ptr<EventLoop> build_event_loop() {
  // The defaults are the bridge's settings; their reasons stand beside them.
  IoResult<std::unique_ptr<EventLoop>> loop = EventLoop::create();
  if (!loop) {
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
