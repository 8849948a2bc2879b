// Proof of arrival: once a run's files are in place, each is checked on the server by the
// strongest means the server offers, and compared with what was sent. A server may answer
// 226 and still keep a short or damaged copy (a full disk, a proxy, a faulty file system).
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrel {

class TVaneFTP;

struct TArrivalMethod {
    enum Kind { Hash, OldHash, Size };
    Kind kind = Size;
    // Hash: "SHA-256", "SHA-1", "MD5" or "CRC32" for the HASH command; OldHash: the command
    // itself, "XSHA256", "XSHA1", "XMD5" or "XCRC"; Size: unused.
    std::string algorithm;
    // HASH answers with another algorithm until "OPTS HASH <algorithm>" chose this one.
    bool needsOpts = false;
    // How the summary names it: "HASH SHA-256", "XMD5", "SIZE".
    std::string Name() const;
};

// The strongest method among the server's FEAT lines: HASH (the IETF draft's command,
// announced as "HASH SHA-256*;SHA-1;MD5", the current one starred) with SHA-256, SHA-1, MD5
// or CRC32; else XSHA256, XSHA1, XMD5, XCRC; else SIZE, which is also tried when FEAT is
// refused.
TArrivalMethod ChooseArrivalMethod(const std::vector<std::string>& features);

// The digest (lower-case hex) or size (decimal) in a server's reply line to the method's
// command, or nothing when the line holds none: "213 SHA-256 0-49 2c26...e7ae a.htm",
// "250 2C26...E7AE", "213 49".
std::optional<std::string> ProofInReply(const TArrivalMethod& method, const std::string& line);

// The same for a local file, computed as the server would; raises when it cannot be read.
std::string LocalProof(const TArrivalMethod& method, const std::string& path);

// Asks the server about a remote file; raises FTPException when the server refuses, and
// Exception when its reply holds no proof.
std::string AskServer(TVaneFTP& ftp, const TArrivalMethod& method, const std::string& remotePath);

// The server's answer about one file of several asked at once: its proof, or why there is
// none (the server's refusing line, or a reply that holds no proof).
struct TServerProof {
    std::string proof;
    std::string missing; // non-empty: no proof, and why
};

// Asks the server about several remote files: on a server that takes commands together
// (Pipelining) every command goes in one batch and the replies are read in order, a round
// trip for all of them; else one after the other. The answers are in the order of the
// paths. Raises only when the connection fails, which leaves the session out of step.
std::vector<TServerProof> AskServerTogether(TVaneFTP& ftp, const TArrivalMethod& method,
                                            const std::vector<std::string>& remotePaths);

} // namespace kestrel
