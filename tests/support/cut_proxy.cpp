#include "support/cut_proxy.h"

#include <stdexcept>
#include <vector>

namespace kdv::testing {

TCutProxy::TCutProxy(std::string host, std::uint16_t port, std::size_t cut_after)
    : host_(std::move(host)), upstream_port_(port), cut_after_(cut_after) {
    listener_ = ListenOn("127.0.0.1", 8, port_);
    if (listener_ == kNoTestSocket) throw std::runtime_error("proxy: cannot listen");
    thread_ = std::thread([this] { Serve(); });
}

TCutProxy::~TCutProxy() {
    stop_ = true;
    ShutdownBoth(listener_);
    thread_.join();
    CloseTestSocket(listener_);
}

void TCutProxy::Serve() {
    bool first = true;
    while (!stop_) {
        TSocketWaitEntry wait{listener_};
        if (WaitSockets(&wait, 1, 100) <= 0) continue;
        const TTestSocket client = AcceptConnection(listener_, false);
        if (client == kNoTestSocket) continue;
        Pipe(client, first ? cut_after_ : static_cast<std::size_t>(-1));
        first = false;
    }
}

// One connection at a time: the clients under test never open two.
void TCutProxy::Pipe(TTestSocket client, std::size_t limit) {
    const TTestSocket server = ConnectTo(host_, upstream_port_);
    if (server == kNoTestSocket) {
        CloseTestSocket(client);
        return;
    }
    std::size_t from_server = 0;
    std::vector<char> buffer(16384);
    while (!stop_) {
        TSocketWaitEntry sides[2] = {{client}, {server}};
        if (WaitSockets(sides, 2, 100) <= 0) continue;
        bool closed = false;
        for (int side = 0; side < 2 && !closed; ++side) {
            if (!sides[side].ready) continue;
            std::size_t want = buffer.size();
            if (side == 1 && limit - from_server < want) want = limit - from_server;
            const long got = ReceiveSome(sides[side].socket, buffer.data(), want);
            if (got <= 0) {
                closed = true;
                break;
            }
            const TTestSocket to = side == 0 ? server : client;
            for (long sent = 0; sent < got;) {
                const long n = SendSome(to, buffer.data() + sent, static_cast<std::size_t>(got - sent));
                if (n <= 0) {
                    closed = true;
                    break;
                }
                sent += n;
            }
            if (side == 1) {
                from_server += static_cast<std::size_t>(got);
                if (from_server >= limit) {
                    cut_ = true;
                    closed = true;
                }
            }
        }
        if (closed) break;
    }
    CloseTestSocket(server);
    CloseTestSocket(client);
}

}  // namespace kdv::testing
