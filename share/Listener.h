// How the listening socket is set up on this platform, before it binds.
#pragma once

#include <asio.hpp>

namespace share {

// Sets the socket options that make a busy port fail the bind (and a port
// left in TIME_WAIT by an earlier run not fail it). Errors are ignored: the
// bind itself tells what matters.
void PrepareListener(asio::ip::tcp::acceptor& acceptor);

}  // namespace share
