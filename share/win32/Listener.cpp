// Windows: SO_REUSEADDR would let this socket share a port another program
// listens on, so it stays off; SO_EXCLUSIVEADDRUSE keeps others off ours.
#include "share/Listener.h"

namespace share {

void PrepareListener(asio::ip::tcp::acceptor& acceptor) {
    using TExclusiveAddressUse =
        asio::detail::socket_option::boolean<SOL_SOCKET, SO_EXCLUSIVEADDRUSE>;
    asio::error_code ignored;
    acceptor.set_option(TExclusiveAddressUse(true), ignored);
}

}  // namespace share
