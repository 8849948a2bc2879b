// The scripted server's side of what the main window does on the wire: the log-in with
// the listing of the home folder that follows it, listings, and stored files.
#pragma once

#include "support/ftp_script.h"
#include "support/scripted_server.h"

#include <string>

namespace kestrel_test {

using kestrel::test::Bye;
using kestrel::test::ExpectScriptsMet;
using kestrel::test::MemoryFiles;
using kestrel::test::ScriptedFtpServer;
using kestrel::test::ScriptedServerOptions;
using kestrel::test::Session;
using kestrel::test::UserAndPassword;

// An NLST over an active data connection that lists names.
inline void Listing(Session& s, const std::string& names) {
    s.expect("PORT ");
    s.reply("200 ok");
    s.expect("NLST");
    s.reply("150 here");
    s.connect_data();
    s.data_send(names);
    s.data_close();
    s.reply("226 done");
}

// Greeting, log-in, the listing of the home folder and the PWD that follow it.
inline void LogIn(Session& s, const std::string& names = "") {
    s.reply("220 ready");
    UserAndPassword(s);
    Listing(s, names);
    s.expect("PWD");
    s.reply("257 \"/\" is current");
}

// TYPE I, answered, as the window sends it before the first file of an upload.
inline void BinaryType(Session& s) {
    s.expect("TYPE I");
    s.reply("200 binary");
}

// A STOR of name over an active data connection, up to the connection being open.
inline void StoreOpens(Session& s, const std::string& name) {
    s.expect("PORT ");
    s.reply("200 ok");
    s.expect("STOR " + name);
    s.reply("150 go");
    s.connect_data();
}

// A whole STOR of name, its completion answered with completion.
inline void Store(Session& s, const std::string& name, const std::string& completion) {
    StoreOpens(s, name);
    s.data_recv_all();
    s.reply(completion);
}

} // namespace kestrel_test
