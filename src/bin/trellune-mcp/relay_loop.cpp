#include "bin/trellune-mcp/relay_loop.hpp"

#include <cstdint>
#include <optional>
#include <utility>

#include "bridge/line_channel.hpp"
#include "bridge/local_connection.hpp"
#include "bridge/socket_ends.hpp"
#include "bridge/stdio_ends.hpp"
#include "base/utf8.hpp"
#include "json/json_value.hpp"
#include "sandbox/sandbox.hpp"

namespace trellune {
namespace {

#ifdef TRELLUNE_LOUD_SANDBOX
constexpr Refusal kSandboxRefusal = Refusal::kTrap;
#else
constexpr Refusal kSandboxRefusal = Refusal::kError;
#endif

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// The four channels of one run, owned by the relay. Members are destroyed in
// the reverse of this order: standard output first, then standard input,
// the reply reader, and last the socket writer, whose release shuts the
// sending side down and closes the socket.
struct RelayChannels {
  LineWriter socket_writer;
  LineReader replies;
  LineReader requests;
  LineWriter output;
};

// Takes what it uses by value, so nothing it holds across a suspension can
// dangle.
Task<IoStatus> relay(std::string token, RelayChannels channels) {
  for (;;) {
    Task<LineOutcome> reading_request = channels.requests.next_line();
    LineOutcome request = co_await std::move(reading_request);
    if (!request) co_return std::move(request).error();
    if (!request->has_value()) co_return IoStatus{};  // the client is done
    std::string& line = **request;
    if (is_blank_line(line)) continue;

    // An object request goes out stamped, its text written over the line;
    // any other line goes out as read.
    (void)stamp_object_request(line, token);
    Task<IoStatus> sending = channels.socket_writer.write_line(line);
    if (IoStatus sent = co_await std::move(sending); !sent) co_return sent;
    // A large request's memory serves the next: otherwise each grows afresh,
    // page fault by page fault.
    channels.requests.reuse(std::move(line));

    Task<LineOutcome> reading_reply = channels.replies.next_line();
    LineOutcome reply = co_await std::move(reading_reply);
    if (!reply) co_return std::move(reply).error();
    if (!reply->has_value()) co_return IoStatus{};  // the application closed

    Task<IoStatus> writing = channels.output.write_line(**reply, MoreFollows::kYes);
    if (IoStatus written = co_await std::move(writing); !written) co_return written;
    Task<IoStatus> flushing = channels.output.flush();
    if (IoStatus flushed = co_await std::move(flushing); !flushed) co_return flushed;
    channels.replies.reuse(std::move(**reply));
  }
}

}  // namespace

bool is_blank_line(std::string_view line) {
  while (!line.empty()) {
    const Utf8Sequence next = decode_utf8_sequence(line);
    if (!next.well_formed || !is_white_space(next.code_point)) return false;
    line.remove_prefix(next.length);
  }
  return true;
}

bool stamp_object_request(std::string& request_line, std::string_view token) {
  // The object is about to gain its "token" member: keep a place for it.
  JsonParseResult parsed = parse_json(request_line, JsonParseOptions{.reserve_one_member = true});
  if (!parsed.ok() || !parsed.value().is_object()) {
    return false;
  }
  // The tree holds copies of the line's texts: the line's memory is free to
  // take the stamped text, which is about its size.
  inject_token_into(std::move(parsed.value().as_object()), token, request_line);
  return true;
}

Task<IoStatus> run_relay_loop(EventLoop& loop, BridgeConfig config) {
  // The worker that will carry standard input and output, started with an
  // empty job now, while the connection is made and vetted, and awaited
  // before the process is confined, so that no thread is still starting
  // then: none can start afterwards.
  JobHandle<int> starting_worker = loop.run_job([] { return 0; });
  Task<IoResult<LocalConnection>> connecting = LocalConnection::open(loop, std::string(kApplicationHost), config.port);
  IoResult<LocalConnection> connection = co_await std::move(connecting);
  if (!connection) co_return std::move(connection).error();
  (void)co_await std::move(starting_worker);
  loop.stop_starting_workers();

  auto [read_side, write_side] = std::move(*connection).split();
  // Every reply is written to standard output by a worker: let the reply's
  // arrival wake that worker along with the loop. Only a hint: without a
  // descriptor to spare for it, the loop wakes the worker afterwards.
  (void)loop.wake_idle_worker_on(read_side.socket().registration());
  // From here on the bridge only relays; unconfined where that is unavailable.
  const EventLoop::OwnDescriptors loop_descriptors = loop.own_descriptors();
  (void)confine_process(KeptDescriptors{read_side.socket().fd(), loop_descriptors.poller, loop_descriptors.wakers},
                        kSandboxRefusal);

  // Moved into the relay, which releases them in its member order.
  StdioEnds stdio = make_stdio_ends(loop);
  RelayChannels channels{
      LineWriter(make_socket_write_end(std::move(write_side))),
      // A reply cut off by the application's end (a crash in mid-write) must
      // not reach the client dressed as a whole line.
      LineReader(make_socket_read_end(std::move(read_side)), UnterminatedLine::kIsCutOff),
      LineReader(std::move(stdio.input)),
      LineWriter(std::move(stdio.output)),
  };
  Task<IoStatus> relaying = relay(std::move(config.token), std::move(channels));
  co_return co_await std::move(relaying);
}

}  // namespace trellune
