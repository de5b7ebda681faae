// bin/trellune-mcp: the executable. Start-up and exit (main.cpp,
// process_setup.hpp), the configuration (bridge_config.hpp) and the relay
// (here). Uses bridge, json, sandbox, event_loop, io_error and base; nothing
// uses it.
//
// The heart of the bridge: one request line in, one line to the
// application, one reply line back, strictly in turn.
#pragma once

#include <string>
#include <string_view>

#include "bin/trellune-mcp/bridge_config.hpp"
#include "event_loop/event_loop.hpp"
#include "io_error/io_error.hpp"
#include "json/json_value.hpp"

namespace trellune {

// Fixed, and the peer check relies on it: it asks the kernel for the
// application's end as an IPv4 socket, and counts a wildcard listener (0.0.0.0,
// or :: unless IPv6-only) as one that takes IPv4 connections. A host from the
// configuration, a name or an IPv6 address, needs that check widened first.
inline constexpr std::string_view kApplicationHost = "127.0.0.1";

// Connects to the application, confines the process (sandbox.hpp), then
// relays until standard input or the application's side ends (success) or an I/O error occurs (that error).
// Everything it owns, the connection last, is released before it returns.
Task<IoStatus> run_relay_loop(EventLoop& loop, BridgeConfig config);

// True when the line is empty or all of it is Unicode White_Space.
bool is_blank_line(std::string_view line);

// Replaces a request line that is a JSON object with the text sent for it:
// the object with its member "token" set, re-serialized compactly, in the
// line's own memory. False, the line untouched, for every other line, which
// goes to the application exactly as read.
bool stamp_object_request(std::string& request_line, std::string_view token);

}  // namespace trellune
