// The remote site as a publish sees it: every file and folder under the remote root,
// learned by MLSD (RFC 3659) where the server offers it, else by LIST.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

class TVaneFTP;

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

// Lists the tree under the absolute remote root folder through ftp, folder by folder:
// MLSD when useMachineList, else CWD and LIST with the component's parsers. A root that
// does not exist (its listing and CWD both refused) gives RootExists false; another
// folder whose listing fails is noted and kept in Unlisted.
TRemoteTree ReadRemoteTree(TVaneFTP& ftp, const std::string& root, bool useMachineList);

} // namespace kestrel
