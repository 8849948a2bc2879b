// Addresses of both families: their text, the numeric forms a user may type, and the
// socket addresses the system calls take.
#include "platform/loop.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>

namespace kestrel::platform {

std::uint32_t NetAddress::v4() const {
    if (family != V4)
        return 0;
    std::uint32_t address;
    std::memcpy(&address, bytes.data(), 4);
    return address;
}

bool NetAddress::unspecified() const {
    std::size_t length = family == V4 ? 4 : 16;
    for (std::size_t i = 0; i < length; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

bool NetAddress::same_host(const NetAddress& other) const {
    return family == other.family && bytes == other.bytes && scope == other.scope;
}

std::string NetAddress::text() const {
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(family == V4 ? AF_INET : AF_INET6, bytes.data(), text, sizeof text);
    return text;
}

NetAddress address_v4(std::uint32_t address, std::uint16_t port) {
    NetAddress a;
    std::memcpy(a.bytes.data(), &address, 4);
    a.port = port;
    return a;
}

std::optional<NetAddress> parse_address(const std::string& text) {
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return address_v4(v4.s_addr);
    if (text.find(':') == std::string::npos)
        return std::nullopt; // a host name, never looked up here
    // getaddrinfo with AI_NUMERICHOST reads an IPv6 address with its scope (an interface
    // name or number after '%') and never asks the network.
    addrinfo hints{};
    hints.ai_family = AF_INET6;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* result = nullptr;
    if (getaddrinfo(text.c_str(), nullptr, &hints, &result) != 0 || !result)
        return std::nullopt;
    sockaddr_storage storage{};
    std::memcpy(&storage, result->ai_addr, result->ai_addrlen);
    freeaddrinfo(result);
    return from_sockaddr(storage);
}

socklen_t to_sockaddr(const NetAddress& address, sockaddr_storage& out) {
    out = sockaddr_storage{};
    if (address.family == NetAddress::V4) {
        auto& a = reinterpret_cast<sockaddr_in&>(out);
        a.sin_family = AF_INET;
        a.sin_port = address.port;
        std::memcpy(&a.sin_addr, address.bytes.data(), 4);
        return sizeof a;
    }
    auto& a = reinterpret_cast<sockaddr_in6&>(out);
    a.sin6_family = AF_INET6;
    a.sin6_port = address.port;
    a.sin6_scope_id = address.scope;
    std::memcpy(&a.sin6_addr, address.bytes.data(), 16);
    return sizeof a;
}

NetAddress from_sockaddr(const sockaddr_storage& in) {
    NetAddress result;
    if (in.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(in);
        result.family = NetAddress::V6;
        result.port = a.sin6_port;
        result.scope = a.sin6_scope_id;
        std::memcpy(result.bytes.data(), &a.sin6_addr, 16);
    } else if (in.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(in);
        result.port = a.sin_port;
        std::memcpy(result.bytes.data(), &a.sin_addr, 4);
    }
    return result;
}

} // namespace kestrel::platform
