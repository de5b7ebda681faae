// The socket's two ends of the line channels: non-blocking recv and sendmsg
// on the loop thread, waiting for readiness in the reactor.
#pragma once

#include <memory>

#include "bridge/line_channel.hpp"
#include "bridge/local_connection.hpp"

namespace trellune {

std::unique_ptr<ReadEnd> make_socket_read_end(SocketReadSide side);
// A line and its newline leave in one sendmsg; nothing is ever held back.
std::unique_ptr<WriteEnd> make_socket_write_end(SocketWriteSide side);

}  // namespace trellune
