// POSIX: SO_REUSEADDR lets a restarted server bind a port whose old
// connections linger in TIME_WAIT; a port another socket listens on still
// fails with EADDRINUSE.
#include "share/Listener.h"

namespace share {

void PrepareListener(asio::ip::tcp::acceptor& acceptor) {
    asio::error_code ignored;
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), ignored);
}

}  // namespace share
