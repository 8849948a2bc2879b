// The FTP client's session and single commands against the scripted server: log-in,
// reply reading, the outcome rule, the named commands and the guards around them.
#include "test_vaneftp_util.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::test;
using Lines = std::vector<std::string>;

TEST(VaneFtpLogin, ReadsAMultiLineGreetingWholeAndSendsPassWithoutShowingIt) {
    ScriptedFtpServer server([](Session& s) {
        s.send("220-Welcome\r\n second line\r\n220-third\r\n220 ready\r\n");
        UserAndPassword(s);
        Bye(s);
    });
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    EXPECT_TRUE(ftp->Connected);
    EXPECT_EQ(ftp->LastReply, "230 in\r\n"); // the greeting's last line was not taken for it
    EXPECT_EQ(rec.Events(), Lines{"connect"});
    Lines statuses = rec.Only("status:");
    Lines expected{"220-Welcome\r\n", " second line\r\n",        "220-third\r\n", "220 ready\r\n",
                   "USER bob",        "331 password please\r\n", "PASS ",         "230 in\r\n"};
    EXPECT_EQ(statuses, expected);
    for (const auto& s : statuses)
        EXPECT_EQ(s.find("pw\r"), std::string::npos) << s;
    ftp->Disconnect();
    EXPECT_FALSE(ftp->Connected);
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_EQ(server.received(), (Lines{"USER bob", "PASS pw", "QUIT"}));
    EXPECT_TRUE(server.failures().empty());
}

TEST(VaneFtpLogin, SingleLineGreetingAnd230WithoutPassAndProxyUser) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            Bye(s);
        },
        ScriptedServerOptions{2, 10000ms});
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    EXPECT_EQ(rec.Events(), Lines{"connect"});
    ftp->Disconnect();

    // Through a proxy the USER line names the target host; the status does not.
    rec.log.clear();
    ftp->Host = "site.example.org";
    ftp->Proxy = "127.0.0.1";
    ftp->ProxyPort = server.port();
    ftp->Connect();
    EXPECT_TRUE(rec.Has("status:USER bob"));
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(2));
    EXPECT_EQ(server.received(0), (Lines{"USER bob", "QUIT"}));
    EXPECT_EQ(server.received(1), (Lines{"USER bob@site.example.org", "QUIT"}));
}

TEST(VaneFtpLogin, RefusedLoginFiresConnectionFailedDisconnectsAndRaisesTheLine) {
    ScriptedFtpServer server([](Session& s) {
        s.reply("220 ready");
        s.expect("USER ");
        s.reply("331 password please");
        s.expect("PASS ");
        s.reply("530 Login incorrect.");
        s.expect("QUIT"); // the log-out is sent but never answered
        s.sleep(5000);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    auto started = Clock::now();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Connect(); }), "530 Login incorrect.\r\n");
    // The unanswered QUIT delays the failure by at most 2 s.
    EXPECT_LT(Clock::now() - started, 3500ms);
    EXPECT_FALSE(ftp->Connected);
    EXPECT_EQ(rec.Events(), Lines{"connfailed"});
    EXPECT_EQ(rec.log.back(), "status:Disconnected");
    ftp.reset();
    server.stop();
    EXPECT_EQ(server.received(), (Lines{"USER bob", "PASS pw", "QUIT"}));
}

TEST(VaneFtpLogin, RefusingOrForeignGreetingFailsConnect) {
    ScriptedFtpServer server(
        [](Session& s) {
            if (s.index() == 0) {
                s.reply("421 Too many users");
            } else if (s.index() == 1) {
                s.reply("HTTP/1.1 400 Bad Request");
            } else {
                // "Ready in a minute" is followed by the real greeting.
                s.reply("120 ready in 1 minute");
                s.sleep(100);
                Greet(s);
                Bye(s);
                return;
            }
            s.read_line(); // the log-out, if any
        },
        ScriptedServerOptions{3, 5000ms});
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Connect(); }), "421 Too many users\r\n");
    EXPECT_FALSE(ftp->Connected);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Connect(); }),
              "Invalid reply from server: HTTP/1.1 400 Bad Request");
    EXPECT_FALSE(ftp->Connected);
    ftp->Connect();
    EXPECT_TRUE(ftp->Connected);
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(3));
    EXPECT_EQ(server.received(0), (Lines{"QUIT"}));
    EXPECT_EQ(server.received(2), (Lines{"USER bob", "QUIT"}));
}

TEST(VaneFtpLogin, RefusedQuitRaisesAfterClosing) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("QUIT");
        s.reply("500 no quitting");
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Disconnect(); }), "500 no quitting\r\n");
    EXPECT_FALSE(ftp->Connected);
    ftp->Disconnect(); // nothing to do
}

TEST(VaneFtpCommands, OutcomeRuleAndClassification) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        AnswerUntilQuit(s, [&s](const std::string& line) {
            if (line == "NOOP")
                s.reply("400 refused");
            else if (line == "PWD")
                s.reply("257 \"/web/site\" is the current directory");
            else if (line == "PWD x")
                s.reply("257 \"/x\"");
            else if (line == "REIN")
                s.reply("502 not implemented");
            else if (line.rfind("cwd", 0) == 0 || line.rfind("CWD", 0) == 0)
                s.reply("550 no such directory");
            else
                s.reply("200 ok");
        });
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port(), /*withFailure=*/false);
    ftp->Connect();

    // Without OnFailure a refusal raises the line; 500-502 ask OnUnSupportedFunction first.
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->DoCommand("NOOP"); }), "400 refused\r\n");
    rec.log.clear();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Reinitialize(); }), "502 not implemented\r\n");
    EXPECT_EQ(rec.Events(), Lines{"unsupported:DoCommand"});

    ftp->OnFailure = [&rec](bool& handled, TCmdType k) {
        rec.log.push_back(std::string("failure:") + KindName(k));
        handled = rec.handle;
    };
    rec.log.clear();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Reinitialize(); }), "502 not implemented\r\n");
    EXPECT_EQ(rec.Events(), (Lines{"unsupported:DoCommand", "failure:DoCommand"}));

    rec.handle = true;
    rec.log.clear();
    ftp->Reinitialize();
    ftp->DoCommand("cwd lower");
    ftp->DoCommand("CWD upper");
    ftp->ChangeDir("");
    ftp->DoCommand("PWD");
    ftp->DoCommand("PWD x");
    EXPECT_EQ(rec.Events(), (Lines{"unsupported:DoCommand", "failure:DoCommand",
                                   "failure:DoCommand", "failure:ChangeDir", "failure:ChangeDir",
                                   "success:CurrentDir", "success:DoCommand"}));

    rec.log.clear();
    ftp->MakeDirectory("new dir");
    ftp->RemoveDir("old");
    ftp->Delete("a b.htm");
    ftp->Allocate(0);
    ftp->Allocate(-5);
    ftp->Mode(4); // sends nothing, fires nothing
    ftp->Mode(1);
    ftp->Mode(2);
    ftp->Mode(3);
    EXPECT_EQ(rec.Events(), (Lines{"success:MakeDir", "success:RemoveDir", "success:Delete",
                                   "success:DoCommand", "success:DoCommand", "success:DoCommand",
                                   "success:DoCommand", "success:DoCommand"}));
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_EQ(server.received(),
              (Lines{"USER bob", "NOOP", "REIN", "REIN", "REIN", "cwd lower", "CWD upper", "CWD ",
                     "PWD", "PWD x", "MKD new dir", "RMD old", "DELE a b.htm", "ALLO 0", "ALLO -5",
                     "TYPE A", "TYPE I", "TYPE L 8", "QUIT"}));
}

TEST(VaneFtpCommands, GetCurrentDirTakesTheQuotedPath) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("PWD");
        s.reply("257 \"/web/my site\" is current");
        s.expect("PWD");
        s.reply("257 /web is current");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(ftp->GetCurrentDir(), "/web/my site");
    EXPECT_EQ(ftp->GetCurrentDir(), "");
    ftp->Disconnect();
}

TEST(VaneFtpCommands, RenameWithRefusedRnfr) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("RNFR a");
        s.reply("550 no such file");
        s.expect("RNFR a");
        s.reply("550 no such file");
        s.expect("RNTO b");
        s.reply("250 renamed");
        s.expect("RNFR c");
        s.reply("350 ready");
        s.expect("RNTO d");
        s.reply("502 no");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port(), false);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Rename("a", "b"); }), "550 no such file\r\n");
    ftp->OnFailure = [&rec](bool& handled, TCmdType k) {
        rec.log.push_back(std::string("failure:") + KindName(k));
        handled = true;
    };
    rec.log.clear();
    ftp->Rename("a", "b"); // handled: RNTO still goes out and decides
    ftp->Rename("c", "d");
    EXPECT_EQ(rec.Events(),
              (Lines{"failure:Rename", "success:Rename", "unsupported:Rename", "failure:Rename"}));
    LogOut(*ftp, server);
}

// A multi-line reply ends only at its code and a space, whatever lines come between.
TEST(VaneFtpReplies, MultiLineReplyEndsOnlyAtItsCodeAndASpace) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("STAT");
        s.send("211-status\r\nplain middle line\r\n211-more\r\n200 other code\r\n"
               " 211 indented\r\n211 end\r\n");
        s.expect("NOOP");
        s.reply("200 fine");
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    ftp->DoCommand("STAT");
    EXPECT_EQ(ftp->LastReply, "211-status\r\n");
    EXPECT_TRUE(rec.Has("status:plain middle line\r\n"));
    EXPECT_TRUE(rec.Has("status:211 end\r\n"));
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200 fine\r\n");
    EXPECT_EQ(ftp->ReplyCode, 200);
    ftp->Disconnect();
}

TEST(VaneFtpReplies, UnaskedServiceClosingLineEndsTheWaitWithThatLine) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("NOOP");
        s.sleep(200);
        s.reply("421 Timeout, closing control connection");
        s.expect("NOOP");
        s.reply("200 ok");
        Bye(s);
    });
    Recorder rec;
    auto ftp = ConnectedClient(rec, server.port());
    // The wait is cancelled by the 421; the caller sees the line through the outcome
    // rule rather than a bare cancel.
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->DoCommand("NOOP"); }),
              "421 Timeout, closing control connection\r\n");
    EXPECT_EQ(rec.Events(), (Lines{"connect", "failure:DoCommand"}));
    ftp->DoCommand("NOOP"); // the cancel flag does not linger
    EXPECT_EQ(ftp->LastReply, "200 ok\r\n");
    ftp->Disconnect();
}

TEST(VaneFtpReplies, ServerClosingWhileWaitingEndsTheCommand) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("NOOP");
        s.close();
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->DoCommand("NOOP"); }), "Connection closed by peer");
    EXPECT_FALSE(ftp->Connected);
    EXPECT_THROW(ftp->DoCommand("NOOP"), Exception); // "Not Connected"
}

TEST(VaneFtpReplies, FlushOnASilentServerReturnsAfterAboutASecond) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        Bye(s);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    auto started = Clock::now();
    ftp->Flush();
    auto took = Clock::now() - started;
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 1500ms);
    EXPECT_EQ(rec.log, Lines{"status:"});
    ftp->Disconnect();
}

TEST(VaneFtpGuards, LineEndsAndZeroBytesNeverReachTheServer) {
    ScriptedFtpServer server(
        [](Session& s) {
            Greet(s);
            s.expect("NOOP");
            s.reply("200 ok");
            Bye(s);
        },
        ScriptedServerOptions{1, 5000ms});
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    const std::string invalid = "Invalid character in command";

    ftp->UserID = "bob\r\nDELE index.htm";
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Connect(); }), invalid);
    ftp->UserID = "bob";
    ftp->Password = std::string("pw\0x", 4);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Connect(); }), invalid);
    EXPECT_EQ(server.sessions_accepted(), 0u);
    ftp->Password = "pw";

    ftp->Connect();
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->DoCommand("NOOP\r\nDELE x"); }), invalid);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->ChangeDir("a\nDELE x"); }), invalid);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Delete(std::string("a\0b", 3)); }), invalid);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Rename("a", "b\rDELE x"); }), invalid);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Upload("/etc/hostname", "x\r\nDELE y"); }),
              invalid);
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Download("x\nDELE y", "/tmp/none"); }), invalid);
    EXPECT_EQ(ftp->FDataSocket, nullptr);
    EXPECT_TRUE(ftp->Connected);
    ftp->DoCommand("NOOP");
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_EQ(server.received(), (Lines{"USER bob", "NOOP", "QUIT"}));
}

TEST(VaneFtpGuards, DestroyingAConnectedClientWaitsAtMostTwoSecondsForQuit) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("QUIT");
        s.sleep(5000);
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port());
    EXPECT_EQ(ftp->GetBytesSent(), 0);
    EXPECT_EQ(ftp->GetBytesRcvd(), 0);
    auto started = Clock::now();
    ftp.reset();
    EXPECT_LT(Clock::now() - started, 3000ms);
    EXPECT_GE(Clock::now() - started, 1500ms);
    server.stop();
    EXPECT_EQ(server.received(), (Lines{"USER bob", "QUIT"}));
}

TEST(VaneFtpLogin, AuthenticationNeededFillsInMissingCredentials) {
    ScriptedFtpServer server([](Session& s) {
        s.reply("220 ready");
        UserAndPassword(s);
        Bye(s);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->Password = "";
    int asked = 0;
    ftp->OnAuthenticationNeeded = [&](bool&) {
        ++asked;
        ftp->UserID = "alice";
        ftp->Password = "typed";
    };
    ftp->Connect();
    ftp->Connect(); // already connected: nothing happens
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(rec.Has("status:USER alice"));
    ftp->Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_EQ(server.received(), (Lines{"USER alice", "PASS typed", "QUIT"}));
}

// Only 230 (or 202) completes a log-in; any other final reply fails it with the
// server's text, and a 1xx is never the final reply.
TEST(VaneFtpLogin, OnlyTheLoggedInReplyCompletesTheLogIn) {
    const Lines userReplies{"400 odd",  "200 ok",  "331 pw", "331 pw", "202 no log-in needed",
                            "150 wait", "150 wait"};
    ScriptedFtpServer server(
        [&](Session& s) {
            s.reply("220 ready");
            s.expect("USER ");
            s.reply(userReplies[s.index()]);
            if (s.index() == 2 || s.index() == 3) {
                s.expect("PASS ");
                s.reply(s.index() == 2 ? "331 again?" : "230 in");
            }
            if (s.index() == 5)
                s.reply("230 in");
            if (s.index() == 6)
                s.close();
            else if (s.read_line()) // QUIT
                s.reply("221 bye");
        },
        ScriptedServerOptions{7, 5000ms});
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    const Lines outcomes{"400 odd\r\n", "200 ok\r\n", "331 again?\r\n",           "ok",
                         "ok",          "ok",         "Connection closed by peer"};
    for (const std::string& expected : outcomes) {
        rec.log.clear();
        std::string outcome = MessageOf<Exception>([&] { ftp->Connect(); });
        const bool ok = outcome == "(no exception)";
        EXPECT_EQ(ok ? "ok" : outcome, expected);
        EXPECT_EQ(ftp->Connected, ok);
        EXPECT_EQ(rec.Has("connect"), ok) << expected;
        if (ftp->Connected)
            ftp->Disconnect();
    }
    ASSERT_TRUE(server.wait_sessions(7));
}

// Commands: the final reply decides; 3xx passes only where the command expects it; a
// line without a code is an invalid reply; a multi-line refusal reports its last line.
TEST(VaneFtpCommands, OutcomeByTheFinalReplyOnly) {
    ScriptedFtpServer server([](Session& s) {
        Greet(s);
        s.expect("NOOP");
        s.send("150 working\r\n200 done\r\n");
        s.expect("NOOP");
        s.reply("331 unexpected");
        s.expect("REST 10");
        s.reply("350 restarting");
        s.expect("NOOP");
        s.reply("hello");
        s.expect("DELE index.htm");
        s.send("550-index.htm:\r\n550 Permission denied\r\n");
        s.expect("RNFR a");
        s.reply("200 odd");
        s.expect("NOOP");
        s.reply("150 and then nothing");
        s.close();
    });
    Recorder rec;
    auto ftp = LogIn(rec, server.port(), false);
    ftp->DoCommand("NOOP");
    EXPECT_EQ(ftp->LastReply, "200 done\r\n");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->DoCommand("NOOP"); }), "331 unexpected\r\n");
    ftp->DoCommand("REST 10");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->DoCommand("NOOP"); }),
              "Invalid reply from server: hello");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Delete("index.htm"); }),
              "550-index.htm:\r\n550 Permission denied\r\n");
    EXPECT_EQ(MessageOf<FTPException>([&] { ftp->Rename("a", "b"); }), "200 odd\r\n");
    EXPECT_EQ(rec.Events(), (Lines{"success:DoCommand", "success:DoCommand"}));
    rec.log.clear();
    EXPECT_EQ(MessageOf<ESockError>([&] { ftp->DoCommand("NOOP"); }), "Connection closed by peer");
    EXPECT_TRUE(rec.Only("success:").empty());
    ExpectScriptsMet(server);
}

// ReplyTimeOut bounds every reply the client waits for: the greeting, a command's reply, a
// reply whose continuation lines never end, and the completion reply after a listing. A
// reply that is late raises EReplyTimeOut and closes the control connection, whose later
// lines could only answer the wrong command. 0 waits as long as the reply takes.
TEST(VaneFtpReplyLimit, EveryReplyIsBoundedAndALateOneClosesTheConnection) {
    auto silentUntilClosed = [](Session& s) {
        while (s.read_line()) {
        }
    };
    struct Case {
        const char* name;
        std::function<void(Session&)> script;
        std::function<void(TVaneFTP&)> step;
    };
    const std::vector<Case> cases = {
        {"greeting", [&](Session& s) { silentUntilClosed(s); },
         [](TVaneFTP& ftp) { ftp.Connect(); }},
        {"log-in reply",
         [&](Session& s) {
             s.reply("220 ready");
             silentUntilClosed(s);
         },
         [](TVaneFTP& ftp) { ftp.Connect(); }},
        {"command reply",
         [&](Session& s) {
             Greet(s);
             silentUntilClosed(s);
         },
         [](TVaneFTP& ftp) {
             ftp.Connect();
             ftp.Mode(2);
         }},
        {"endless continuation lines",
         [&](Session& s) {
             Greet(s);
             s.expect("FEAT");
             s.reply("211-Features:");
             while (s.reply(" MLST size*;")) // until the client closes
                 s.sleep(20);
         },
         [](TVaneFTP& ftp) {
             ftp.Connect();
             ftp.Features();
         }},
        {"completion after a listing",
         [&](Session& s) {
             Greet(s);
             PortAnd150(s, "NLST");
             s.connect_data();
             s.data_send("a.htm\r\n");
             s.data_close();
             silentUntilClosed(s);
         },
         [](TVaneFTP& ftp) {
             ftp.Connect();
             ftp.Nlist();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedFtpServer server(c.script);
        Recorder rec;
        auto ftp = MakeClient(rec, server.port());
        ftp->ReplyTimeOut = 300;
        std::string message;
        try {
            c.step(*ftp);
        } catch (const EReplyTimeOut& error) {
            message = error.what();
        }
        EXPECT_EQ(message, "The server did not answer within 1 s");
        EXPECT_FALSE(ftp->Connected) << "the connection out of step is closed";
        EXPECT_TRUE(rec.Has("status:The server did not answer within 1 s"));
        ExpectScriptsMet(server);
    }
}

TEST(VaneFtpReplyLimit, RepliesInTimeAndWithoutALimitAreReadAsAlways) {
    for (std::int32_t limit : {0, 5000}) {
        SCOPED_TRACE(limit);
        ScriptedFtpServer server([](Session& s) {
            s.sleep(200); // a slow greeting
            Greet(s);
            s.expect("TYPE I");
            s.sleep(200);
            s.reply("200-Type set");
            s.sleep(200);
            s.reply("200 to I");
            Bye(s);
        });
        Recorder rec;
        auto ftp = MakeClient(rec, server.port());
        ftp->ReplyTimeOut = limit;
        ftp->Connect();
        ftp->Mode(2);
        EXPECT_EQ(ftp->ReplyCode, 200);
        LogOut(*ftp, server);
    }
}

// A byte 255 goes doubled in every command that carries text (RFC 959's Telnet rule), or
// as it is where IacRule says the server takes bytes so; what the status shows is the
// text itself.
TEST(VaneFtpGuards, AByte255IsSentDoubledOrAsTheServerTakesIt) {
    ScriptedFtpServer server([](Session& s) {
        s.reply("220 ready");
        s.expect("USER b\xff\xff");
        s.reply("331 password");
        s.expect("PASS p\xff\xff");
        s.reply("230 in");
        for (const char* line :
             {"CWD d\xff\xff", "MKD m\xff\xff", "DELE x\xff\xff\xff\xffy", "RNFR a\xff\xff",
              "RNTO b\xff\xff", "SITE x\xff\xff", "DELE x\xff"}) {
            s.expect(line);
            s.reply(line[1] == 'N' && line[2] == 'F' ? "350 go on" : "250 ok");
        }
        Bye(s);
    });
    Recorder rec;
    auto ftp = MakeClient(rec, server.port());
    ftp->UserID = "b\xff";
    ftp->Password = "p\xff";
    ftp->Connect();
    ftp->ChangeDir("d\xff");
    ftp->MakeDirectory("m\xff");
    ftp->Delete("x\xff\xffy");
    ftp->Rename("a\xff", "b\xff");
    ftp->DoCommand("SITE x\xff");
    EXPECT_TRUE(rec.Has("status:DELE x\xff\xffy"));
    ftp->IacRule = TIacRule::AsIs;
    ftp->Delete("x\xff");
    ftp->Disconnect();
    ExpectScriptsMet(server);
    EXPECT_EQ(CommandBytes("STOR \xff", TIacRule::Double), "STOR \xff\xff");
    EXPECT_EQ(CommandBytes("STOR \xff", TIacRule::AsIs), "STOR \xff");
}
