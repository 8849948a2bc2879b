// Helpers shared by the FTP client's tests: an event recorder and a client
// wired to it.
#pragma once

#include "net/ftp/vaneftp.h"
#include "support/ftp_script.h"
#include "support/message_of.h"
#include "support/scripted_server.h"
#include "support/watchdog.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrel::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline const char* KindName(TCmdType kind) {
    static const char* names[] = {"ChangeDir", "MakeDir", "Delete",    "RemoveDir",
                                  "List",      "Rename",  "UpRestore", "DownRestore",
                                  "Download",  "Upload",  "Append",    "ReInit",
                                  "Allocate",  "NList",   "DoCommand", "CurrentDir"};
    return names[kind];
}

// Records statuses and events as one ordered list of texts:
//   "status:<text>", "success:<kind>", "failure:<kind>", "unsupported:<kind>",
//   "start", "stop", "sent", "recvd", "connect", "connfailed", "item:<line>".
struct Recorder {
    std::vector<std::string> log;
    bool handle = false; // what the OnFailure handler sets Handled to

    std::vector<std::string> Only(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& entry : log)
            if (entry.rfind(prefix, 0) == 0)
                out.push_back(entry.substr(prefix.size()));
        return out;
    }
    bool Has(const std::string& entry) const {
        for (const auto& e : log)
            if (e == entry)
                return true;
        return false;
    }
    // The entries that are not socket-level status texts (levels above 1 are off).
    std::vector<std::string> Events() const {
        std::vector<std::string> out;
        for (const auto& e : log)
            if (e.rfind("status:", 0) != 0)
                out.push_back(e);
        return out;
    }
};

// A client with every outcome event and the status report wired to rec. withFailure
// leaves OnFailure unassigned when false.
inline std::unique_ptr<TVaneFTP> MakeClient(Recorder& rec, int port, bool withFailure = true) {
    auto ftp = std::make_unique<TVaneFTP>(nullptr);
    ftp->Host = "127.0.0.1";
    ftp->Port = port;
    ftp->UserID = "bob";
    ftp->Password = "pw";
    ftp->ReportLevel = 1;
    ftp->OnStatus = [&rec](TComponent*, const std::string& s) { rec.log.push_back("status:" + s); };
    ftp->OnSuccess = [&rec](TCmdType k) {
        rec.log.push_back(std::string("success:") + KindName(k));
    };
    if (withFailure)
        ftp->OnFailure = [&rec](bool& handled, TCmdType k) {
            rec.log.push_back(std::string("failure:") + KindName(k));
            handled = rec.handle;
        };
    ftp->OnUnSupportedFunction = [&rec](TCmdType k) {
        rec.log.push_back(std::string("unsupported:") + KindName(k));
    };
    ftp->OnConnect = [&rec](TComponent*) { rec.log.push_back("connect"); };
    ftp->OnConnectionFailed = [&rec](TComponent*) { rec.log.push_back("connfailed"); };
    ftp->OnTransactionStart = [&rec](TComponent*) { rec.log.push_back("start"); };
    ftp->OnTransactionStop = [&rec](TComponent*) { rec.log.push_back("stop"); };
    ftp->OnListItem = [&rec](const std::string& line) { rec.log.push_back("item:" + line); };
    return ftp;
}

// The log-in preamble of most tests: a client wired to rec and logged in to the
// scripted server on port, with what the log-in recorded cleared from rec.
inline std::unique_ptr<TVaneFTP> LogIn(Recorder& rec, int port, bool withFailure = true) {
    auto ftp = MakeClient(rec, port, withFailure);
    ftp->Connect();
    rec.log.clear();
    return ftp;
}

// The end of most tests: logs out and checks that the server's session ended and its
// script met every line it expected.
inline void LogOut(TVaneFTP& ftp, ScriptedFtpServer& server) {
    ftp.Disconnect();
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty());
}

// What an active-mode failure to get the data connection adds to the server's line.
inline constexpr const char* kCouldNotConnectBack =
    " (the server could not connect back; try passive mode in the settings)";

} // namespace kestrel::test
