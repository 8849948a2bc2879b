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
#include <cstdint>
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

// Records each send step of an upload of total bytes as "sent", checking that it comes
// from the data connection, with the size known and bytes counted.
inline void RecordSends(Recorder& rec, TVaneFTP& ftp, std::int64_t total) {
    ftp.OnPacketSent = [&rec, &ftp, total](TComponent* sender) {
        rec.log.push_back("sent");
        EXPECT_EQ(sender, ftp.FDataSocket);
        EXPECT_EQ(ftp.BytesTotal, total);
        EXPECT_GT(ftp.GetBytesSent(), 0);
    };
}

// What an upload of index.htm in three send steps records: the lines that set up the
// data connection (given), then the transfer command, its replies and the progress.
inline std::vector<std::string> IndexUploadEvents(std::vector<std::string> events) {
    for (const char* event : {"status:STOR index.htm", "status:150 go\r\n", "start", "sent", "sent",
                              "sent", "stop", "status:226 done\r\n", "success:Upload"})
        events.push_back(event);
    return events;
}

// A client wired to rec, in the given data mode, connected and logged in to the scripted
// server on port.
inline std::unique_ptr<TVaneFTP> ConnectedClient(Recorder& rec, int port, bool withFailure = true,
                                                 TDataMode mode = TDataMode::Active) {
    auto ftp = MakeClient(rec, port, withFailure);
    ftp->DataMode = mode;
    ftp->Connect();
    return ftp;
}

// The log-in preamble of most tests: a client wired to rec and logged in to the
// scripted server on port, with what the log-in recorded cleared from rec.
inline std::unique_ptr<TVaneFTP> LogIn(Recorder& rec, int port, bool withFailure = true) {
    auto ftp = ConnectedClient(rec, port, withFailure);
    rec.log.clear();
    return ftp;
}

// The end of most tests: logs out and checks that the server's sessions ended and their
// scripts met every line they expected.
inline void LogOut(TVaneFTP& ftp, ScriptedFtpServer& server, std::size_t sessions = 1) {
    ftp.Disconnect();
    ExpectScriptsMet(server, sessions);
}

// What an active-mode failure to get the data connection adds to the server's line.
inline constexpr const char* kCouldNotConnectBack =
    " (the server could not connect back; try passive mode in the settings)";

// A logged-in client in passive mode that sends commands together.
inline std::unique_ptr<TVaneFTP> PipeliningPassiveClient(Recorder& rec, int port) {
    auto ftp = LogIn(rec, port);
    ftp->DataMode = TDataMode::Passive;
    ftp->Pipelining = true;
    return ftp;
}

} // namespace kestrel::test
