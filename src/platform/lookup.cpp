// Asynchronous host lookup: a helper thread runs getaddrinfo (or the resolver a test
// put in its place) and hands the result to the inbox of the thread that asked.
#include "platform/loop.h"

#include <netdb.h>
#include <netinet/in.h>
#include <thread>

namespace kestrel::platform {

namespace {

constexpr std::size_t kMaxHostName = 253;

// One resolver for the whole process, so that a test's stand-in also serves lookups
// asked on other threads.
std::mutex g_resolver_mutex;
Resolver g_resolver;

Resolver current_resolver() {
    std::lock_guard<std::mutex> lock(g_resolver_mutex);
    return g_resolver;
}

void real_lookup(const std::string& name, std::function<void(int, std::uint32_t)> done) {
    std::thread([name, done = std::move(done)] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
        if (rc != 0 || !result) {
            done(rc == EAI_AGAIN ? err::TryAgain : err::HostNotFound, 0);
        } else {
            auto* sin = reinterpret_cast<sockaddr_in*>(result->ai_addr);
            done(0, sin->sin_addr.s_addr);
        }
        if (result)
            freeaddrinfo(result);
    }).detach();
}

} // namespace

void lookup_host(TargetId target, std::uint32_t code, const std::string& name) {
    // The result goes to the inbox of this thread, even if it has ended by then
    // (the inbox then drops it).
    auto deliver = [inbox = loop().inbox, target, code](int error, std::uint32_t address) {
        Entry e{target, Message{}};
        e.message.code = code;
        if (error == 0) {
            e.message.word = MakeWord(4, 0);
            e.message.payload.assign(reinterpret_cast<const char*>(&address), 4);
        } else {
            e.message.word = MakeWord(0, std::uint32_t(error));
        }
        inbox->deliver(std::move(e));
    };
    if (name.empty() || name.size() > kMaxHostName) {
        deliver(err::HostNotFound, 0);
        return;
    }
    if (Resolver resolver = current_resolver())
        resolver(name, deliver);
    else
        real_lookup(name, deliver);
}

void set_resolver(Resolver resolver) {
    std::lock_guard<std::mutex> lock(g_resolver_mutex);
    g_resolver = std::move(resolver);
}

} // namespace kestrel::platform
