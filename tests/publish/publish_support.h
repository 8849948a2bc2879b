// What the publishing tests against pyftpdlib share: the connection to a test server.
#pragma once

#include "publish/publisher.h"
#include "support/pyftpd.h"

namespace kestrel::test {

// The test server's account on 127.0.0.1, reached on port (0: the server's own port, else
// a proxy in front of it).
inline TConnectionSettings ConnectionTo(const PyFtpd& server, bool passive, int port = 0) {
    TConnectionSettings connection;
    connection.Host = server.host();
    connection.Port = port != 0 ? port : server.port();
    connection.UserID = server.user();
    connection.Password = server.password();
    connection.DataMode = passive ? TDataMode::Passive : TDataMode::Active;
    return connection;
}

} // namespace kestrel::test
