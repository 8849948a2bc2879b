// TVaneGeneralServer: a listening socket component that serves each incoming
// connection with a client component of its own class, on the same thread.
//
// Loaded() starts listening on Port. Each accepted connection gets a new client
// component (made by NewClient, owned by the server) that takes over the accepted
// socket and any bytes already received; its Serve() runs from a queued message, so
// the accept notification returns first, and the client is freed when Serve returns.
// There are no worker threads: a Serve that waits dispatches messages like every other
// blocking operation, so several clients can be in Serve at once, nested.
#pragma once

#include "net/sock/csock.h"

#include <deque>
#include <vector>

namespace kestrel {

class TVaneGeneralServer : public TCorsock {
public:
    explicit TVaneGeneralServer(TComponent* owner);
    ~TVaneGeneralServer() override;

    TNotifyEvent OnClientContact; // a client connected; Sender is the server

    // A server does not connect anywhere.
    void Connect() override {}
    // Starts listening on Port (0: a free port) for clients.
    void Loaded();
    // Cancels every client being served, then the server's own waits.
    void Abort() override;
    // The clients being served now.
    const std::vector<TVaneGeneralServer*>& Clients() const { return clients_; }

protected:
    // Makes the component that serves one client; owned by this server.
    virtual TVaneGeneralServer* NewClient();
    // Serves one client on its connection; the base version does nothing.
    virtual void Serve() {}

private:
    void ServerAccept(TComponent* sender);
    void RunClient(TVaneGeneralServer* client);

    std::vector<TVaneGeneralServer*> clients_;
    std::deque<TVaneGeneralServer*> pending_; // accepted, Serve not yet started
    platform::TargetId runner_ = 0;
};

} // namespace kestrel
