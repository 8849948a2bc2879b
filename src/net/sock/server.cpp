#include "net/sock/server.h"

#include <algorithm>

namespace kestrel {
namespace {
constexpr std::uint32_t kMsgServeClient = 1129;
} // namespace

TVaneGeneralServer::TVaneGeneralServer(TComponent* owner) : TCorsock(owner) {}

TVaneGeneralServer::~TVaneGeneralServer() {
    BeginDestroy();
    if (runner_)
        platform::destroy_target(runner_);
    for (TVaneGeneralServer* client : clients_)
        client->Cancel();
    clients_.clear(); // the component tree frees them
}

void TVaneGeneralServer::Loaded() {
    OnAcceptReady = [this](TComponent* sender) { ServerAccept(sender); };
    Listen(false);
}

TVaneGeneralServer* TVaneGeneralServer::NewClient() {
    return new TVaneGeneralServer(this);
}

void TVaneGeneralServer::ServerAccept(TComponent*) {
    AsyncDone = true;
    int handle = Accept();
    TVaneGeneralServer* client = NewClient();
    client->AdoptSocket(handle);
    client->Connected = true;
    client->RemoteAddress = RemoteAddress;
    if (InBuffer->Size() > 0) {
        std::string early = Read(0);
        client->InBuffer->SetPosition(client->InBuffer->Size());
        client->InBuffer->WriteString(early);
    }
    clients_.push_back(client);
    Connected = false; // the listener itself stays unconnected
    AsyncDone = false;
    if (!runner_) {
        runner_ = platform::create_target([this](const platform::Message&) {
            if (pending_.empty())
                return;
            TVaneGeneralServer* served = pending_.front();
            pending_.pop_front();
            if (std::find(clients_.begin(), clients_.end(), served) != clients_.end())
                RunClient(served);
        });
    }
    pending_.push_back(client);
    platform::post(runner_, kMsgServeClient, 0);
    if (OnClientContact)
        OnClientContact(this);
}

void TVaneGeneralServer::RunClient(TVaneGeneralServer* client) {
    try {
        client->Serve();
    } catch (...) {
        // A client's failure ends only that client.
    }
    auto it = std::find(clients_.begin(), clients_.end(), client);
    if (it != clients_.end()) {
        clients_.erase(it);
        delete client;
    }
}

void TVaneGeneralServer::Abort() {
    for (TVaneGeneralServer* client : clients_)
        client->Cancel();
    TCorsock::Abort();
}

} // namespace kestrel
