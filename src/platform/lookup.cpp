// Asynchronous host lookup: a helper thread runs getaddrinfo (or the resolver a test
// put in its place) and hands the result to the inbox of the thread that asked.
#include "platform/loop.h"

#include <algorithm>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <thread>

namespace kestrel::platform {

namespace {

constexpr std::size_t kMaxHostName = 253;

// One resolver for the whole process, so that a test's stand-in also serves lookups
// asked on other threads.
std::mutex g_resolver_mutex;
AddressResolver g_resolver;

AddressResolver current_resolver() {
    std::lock_guard<std::mutex> lock(g_resolver_mutex);
    return g_resolver;
}

using Done = std::function<void(int, std::vector<NetAddress>)>;

void real_lookup(const std::string& name, Done done) {
    std::thread([name, done = std::move(done)] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC; // IPv6 and IPv4, in the order RFC 6724 prefers
        hints.ai_socktype = SOCK_STREAM;
        // No AI_ADDRCONFIG: it drops the loopback addresses of a machine that has no other
        // address of their family (a name like "localhost" would then resolve to nothing).
        // An address of a family without a route fails its connect at once, and the next
        // one is tried.
        addrinfo* result = nullptr;
        int rc = getaddrinfo(name.c_str(), nullptr, &hints, &result);
        std::vector<NetAddress> addresses;
        for (addrinfo* a = result; rc == 0 && a; a = a->ai_next) {
            if (a->ai_family != AF_INET && a->ai_family != AF_INET6)
                continue;
            sockaddr_storage storage{};
            std::memcpy(&storage, a->ai_addr, a->ai_addrlen);
            NetAddress address = from_sockaddr(storage);
            address.port = 0;
            if (std::none_of(addresses.begin(), addresses.end(),
                             [&](const NetAddress& b) { return b.same_host(address); }))
                addresses.push_back(address);
        }
        if (result)
            freeaddrinfo(result);
        if (addresses.empty())
            done(rc == EAI_AGAIN ? err::TryAgain : err::HostNotFound, {});
        else
            done(0, std::move(addresses));
    }).detach();
}

} // namespace

void lookup_host(TargetId target, std::uint32_t code, const std::string& name) {
    // The result goes to the inbox of this thread, even if it has ended by then
    // (the inbox then drops it).
    auto deliver = [inbox = loop().inbox, target, code](int error,
                                                        std::vector<NetAddress> addresses) {
        Entry e{target, Message{}};
        e.message.code = code;
        if (error == 0 && !addresses.empty()) {
            e.message.word = MakeWord(std::uint32_t(addresses.size()), 0);
            auto v4 = std::find_if(addresses.begin(), addresses.end(),
                                   [](const NetAddress& a) { return !a.is_v6(); });
            if (v4 != addresses.end()) {
                std::uint32_t address = v4->v4();
                e.message.payload.assign(reinterpret_cast<const char*>(&address), 4);
            }
            e.message.addresses = std::move(addresses);
        } else {
            e.message.word = MakeWord(0, std::uint32_t(error ? error : err::HostNotFound));
        }
        inbox->deliver(std::move(e));
    };
    if (name.empty() || name.size() > kMaxHostName) {
        deliver(err::HostNotFound, {});
        return;
    }
    if (AddressResolver resolver = current_resolver())
        resolver(name, deliver);
    else
        real_lookup(name, deliver);
}

void set_address_resolver(AddressResolver resolver) {
    std::lock_guard<std::mutex> lock(g_resolver_mutex);
    g_resolver = std::move(resolver);
}

void set_resolver(Resolver resolver) {
    if (!resolver) {
        set_address_resolver({});
        return;
    }
    set_address_resolver([resolver = std::move(resolver)](const std::string& name, Done done) {
        resolver(name, [done = std::move(done)](int error, std::uint32_t address) {
            if (error != 0)
                done(error, {});
            else
                done(0, {address_v4(address)});
        });
    });
}

} // namespace kestrel::platform
