// Pieces of a scripted server's side of an FTP session that many scripts share.
#pragma once

#include "support/scripted_server.h"

#include <string>

namespace kestrel::test {

// The server side of a log-in with USER answered by 230.
inline void Greet(Session& s) {
    s.reply("220 ready");
    s.expect("USER ");
    s.reply("230 logged in");
}

// The server side of a log-out.
inline void Bye(Session& s) {
    s.expect("QUIT");
    s.reply("221 bye");
}

// The server side of a transfer command answered 150 after PORT 200.
inline void PortAnd150(Session& s, const std::string& command,
                       const std::string& reply = "150 opening data connection") {
    s.expect("PORT ");
    s.reply("200 PORT ok");
    s.expect(command);
    s.reply(reply);
}

} // namespace kestrel::test
