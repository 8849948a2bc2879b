// The error numbers of the platform: POSIX errno values mapped to the socket error
// table's numbers, which the layers above turn into texts.
#include "platform/platform.h"

#include <cerrno>
#include <netdb.h>

namespace kestrel::platform {

namespace {

struct ErrnoName {
    int posix;
    int table;
};

constexpr ErrnoName kErrnoTable[] = {
    {ECONNREFUSED, err::ConnectionRefused},
    {EWOULDBLOCK, err::WouldBlock},
    {EINPROGRESS, err::WouldBlock},
    {EALREADY, err::AlreadyInProgress},
    {ETIMEDOUT, err::TimedOut},
    {ECONNRESET, err::ConnectionReset},
    {ECONNABORTED, err::ConnectionAborted},
    {EHOSTUNREACH, err::HostUnreachable},
    {ENETUNREACH, err::NetworkUnreachable},
    {ENETDOWN, err::NetworkDown},
    {ENETRESET, err::NetworkReset},
    {EADDRINUSE, err::AddressInUse},
    {EADDRNOTAVAIL, err::AddressNotAvailable},
    {EPIPE, err::Shutdown},
    {ESHUTDOWN, err::Shutdown},
    {ENOTCONN, err::NotConnected},
    {EISCONN, err::AlreadyConnected},
    {EINVAL, err::Invalid},
    {EMFILE, err::TooManyFiles},
    {ENFILE, err::TooManyFiles},
    {ENOBUFS, err::NoBuffers},
    {ENOMEM, err::NoBuffers},
    {EACCES, err::Access},
    {EPERM, err::Access},
    {EBADF, err::BadDescriptor},
    {EFAULT, err::Fault},
    {EINTR, err::Interrupted},
    {ENOTSOCK, err::NotSocket},
    {EDESTADDRREQ, err::DestinationRequired},
    {EMSGSIZE, err::MessageTooLong},
    {EPROTOTYPE, err::WrongProtocolType},
    {ENOPROTOOPT, err::NoProtocolOption},
    {EPROTONOSUPPORT, err::ProtocolNotSupported},
    {ESOCKTNOSUPPORT, err::SocketTypeNotSupported},
    {EOPNOTSUPP, err::OperationNotSupported},
    {EPFNOSUPPORT, err::ProtocolFamilyNotSupported},
    {EAFNOSUPPORT, err::AddressFamilyNotSupported},
    {EHOSTDOWN, err::HostDown},
};

} // namespace

int map_errno(int err) {
    if (err == 0)
        return 0;
    for (const ErrnoName& e : kErrnoTable)
        if (e.posix == err)
            return e.table;
    return err; // shows as "Unknown Error No. n"
}

} // namespace kestrel::platform
