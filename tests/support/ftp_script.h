// Pieces of a scripted server's side of an FTP session that many scripts share, and the
// check that ends a test with such a server.
#pragma once

#include "support/scripted_server.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <string>

namespace kestrel::test {

// The server side of a log-in with USER answered by 230.
inline void Greet(Session& s) {
    s.reply("220 ready");
    s.expect("USER ");
    s.reply("230 logged in");
}

// The server side of a log-in with a password: USER answered by 331, PASS by 230.
inline void UserAndPassword(Session& s) {
    s.expect("USER ");
    s.reply("331 password please");
    s.expect("PASS ");
    s.reply("230 in");
}

// The server side of a log-out.
inline void Bye(Session& s) {
    s.expect("QUIT");
    s.reply("221 bye");
}

// Answers every command line with answer until QUIT (answered 221) or the end of the
// connection.
inline void AnswerUntilQuit(Session& s, const std::function<void(const std::string&)>& answer) {
    for (;;) {
        auto line = s.read_line();
        if (!line || *line == "QUIT")
            break;
        answer(*line);
    }
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

// The server side of a transfer to the client once its data connection is open: the
// preliminary reply, the bytes, the close and "226 done".
inline void SendData(Session& s, const std::string& preliminary, const std::string& bytes) {
    s.reply(preliminary);
    s.data_send(bytes);
    s.data_close();
    s.reply("226 done");
}

// The end of a test: the server's sessions ended and their scripts met every line they
// expected.
inline void ExpectScriptsMet(ScriptedFtpServer& server, std::size_t sessions = 1) {
    ASSERT_TRUE(server.wait_sessions(sessions));
    EXPECT_TRUE(server.failures().empty()) << server.failures().front();
}

} // namespace kestrel::test
