// The remote site as a publish sees it: every file and folder under the remote root,
// learned by MLSD (RFC 3659) where the server offers it, else by LIST.
#pragma once

#include "net/ftp/vaneftp.h"
#include "publish/localtree.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

struct TRemoteEntry {
    bool Folder = false;
    std::int64_t Size = -1;       // -1: not known
    std::int64_t ModifyTime = -1; // seconds since 1970, UTC; -1: not known
};

struct TRemoteTree {
    bool RootExists = true;
    bool TimesKnown = false;                     // the listing gave exact times (MLSD)
    std::map<std::string, TRemoteEntry> Entries; // by path relative to the root
    std::set<std::string> Unlisted;              // folders whose listing failed
    std::vector<std::string> Notes;
    std::optional<TIacRule> IacRule; // how the server takes a byte 255, once found out
    // About how many times the listing waited a round trip for the server: once for each
    // batch of listings sent together, kWaitsOfListing times for a folder listed alone.
    int Waits = 0;
    static constexpr int kWaitsOfListing = 4; // CWD, EPSV, the data connection, the data
    // The shortest batch of listings sent together took this long (about a round trip and
    // the server's work for the folders in it); 0 when none was sent.
    double BatchSeconds = 0;
};

// One MLSD fact line ("type=file;size=2048;modify=20261208101500; index.htm"). Returns
// false for lines that name no file or folder of their own (cdir, pdir, links, garbage).
bool ParseMachineListLine(const std::string& line, std::string& name, TRemoteEntry& entry);

// One LIST line in the Unix long format ("-rw-r--r-- 1 u g 2048 Dec  8 10:15 a b.htm");
// the name runs to the end of the line, spaces and all. Returns false for totals, links,
// "." and "..", and lines of another shape.
bool ParseUnixListLine(const std::string& line, std::string& name, TRemoteEntry& entry);

// "/site" + "a/b.htm" -> "/site/a/b.htm"; "/" + "a" -> "/a"; root + "" -> root.
std::string JoinRemote(const std::string& root, const std::string& relative);

// Raised by ReadRemoteTree when the replies to listings sent together did not come in the
// shape they must have: the session's replies are out of step, and it must log in again
// before its next command (and list the old way).
class EListingOutOfStep : public Exception {
public:
    using Exception::Exception;
};

// Lists the tree under the absolute remote root folder through ftp, folder by folder:
// MLSD when useMachineList, else CWD and LIST with the component's parsers. A root that
// does not exist (its listing and CWD both refused) gives RootExists false; another
// folder whose listing fails is noted and kept in Unlisted.
//
// together (without useMachineList, on a server that takes commands together): the folders
// of one level are listed in one packet, "CWD <path>" and "STAT -a <path>" for each, whose
// replies carry the listings on the control connection; a round trip a level instead of
// three or four a folder. The CWD tells whether the folder is there and may be entered
// (some servers list a missing folder as an empty one), as the old way's did. A server that
// does not list by "STAT -a" (refused, or "-a" taken for a name) is listed the old way with
// a note, and so is each folder whose reply is not a listing in the Unix layout. What is
// learned is the same either way. Raises EListingOutOfStep (see there).
TRemoteTree ReadRemoteTree(TVaneFTP& ftp, const std::string& root, bool useMachineList,
                           bool together = false);

// Finds out how the server takes a byte 255 in a command (see TIacRule): a folder is made
// in folder under a name whose end goes on the wire as the bytes 255 255, and the names
// that NLST gives (which come as they are, not as Telnet text) show which name the server
// made: "kestrel-iac-probe-\xff" (it reads Telnet text: Double) or "...-\xff\xff" (it takes
// bytes as they come: AsIs). The folder is removed with the same bytes. A server that
// shows neither keeps Double, the rule of RFC 959, with a note. ftp keeps the rule found.
TIacRule FindIacRule(TVaneFTP& ftp, const std::string& folder, std::vector<std::string>& notes);

// The rule for the names of a publish: found out with FindIacRule in the remote root once
// some local or remote path holds a byte 255, else ftp's own. ftp and remote keep it.
TIacRule SettleIacRule(TVaneFTP& ftp, const std::string& root, const TLocalTree& local,
                       TRemoteTree& remote, std::vector<std::string>& notes);

} // namespace kestrel
