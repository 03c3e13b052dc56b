// The receive loop of a session: the server's text on standard output, its controls obeyed,
// until the server goes, the link is lost or a control ends the session.
#include "actions/actions.h"
#include "app/session.h"
#include "core/console_state.h"

namespace {

char receive_buffer[RECEIVE_BUFFER_SIZE];

}  // namespace

bool quiet_loss = false;

void run_session() {
    save_title();
    platform::SocketHandle socket = server_socket.load();
    while (link_state.load() == LINK_ONLINE) {
        long received = platform::socket_receive(socket, receive_buffer, RECEIVE_BUFFER_SIZE);
        if (received <= 0) break;
        take_received(receive_buffer, static_cast<std::size_t>(received));
    }
    if (link_state.load() == LINK_ONLINE) link_state.store(quiet_loss ? LINK_IDLE : LINK_ADDRESSED);
    drop_connection();
}
