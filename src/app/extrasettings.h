// The settings that came after the 501-byte record of "Config.txt": how data connections
// are opened, whether the connection is encrypted, how many connections publishing uses,
// the folders a site was published between, and the server certificates the user chose to
// trust. They live in "KestrelFTP.ini" beside
// "Config.txt" in the start-up folder, so that the record keeps its exact layout.
//
// The file is INI text written with QSettings, replaced safely like the record (a new
// owner-only file renamed over the old one, never through a link). A missing, unreadable
// or damaged file, or a damaged value in it, means the defaults; a link, pipe, socket or
// device in its place is not used at all.
#pragma once

#include "net/ftp/vaneftp.h"
#include "publish/publisher.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

inline constexpr char kExtraSettingsFileName[] = "KestrelFTP.ini";
inline constexpr int kMinPublishConnections = kMinConnections;
// The program's settings files, "Config.txt" and this one: a publish never sends them.
std::vector<std::string> SettingsFileNames();
inline constexpr int kMaxPublishConnections = kMaxConnections;
inline constexpr int kDefaultPublishConnections = kDefaultConnections;

// What is known about a server certificate for a host.
enum class TCertificateTrust {
    Unknown, // no certificate of this host was trusted
    Trusted, // this very certificate was trusted for the host
    Changed, // another certificate was trusted for the host
};

class TExtraSettings {
public:
    TDataMode DataMode = TDataMode::Active;
    TEncryption Encryption = TEncryption::None;
    int PublishConnections = kDefaultPublishConnections;

    // The full name of the file in the given folder.
    static std::string FilePath(const std::string& folder);

    // Reads the folder's file; every setting it lacks or holds damaged keeps its default.
    // Returns false with the reason in problem when the file is refused ("<path> is not a
    // regular file"); a missing or unreadable file is no problem and yields the defaults.
    bool Load(const std::string& folder, std::string* problem = nullptr);
    // Writes every setting to the folder's file, keeping entries it does not know (written
    // by a later version). Returns false with the reason in problem when nothing was
    // written; a write that fails midway raises EInOutError.
    bool Save(const std::string& folder, std::string* problem = nullptr) const;

    // Trusted certificates: one SHA-256 fingerprint per host and port, the host kept byte for
    // byte. Port 0 stands for every port of the host: what earlier versions kept per host,
    // still read and used where no entry names the port.
    using THostPort = std::pair<std::string, int>;
    TCertificateTrust TrustOf(const std::string& host, int port,
                              const std::string& fingerprint) const;
    void Trust(const std::string& host, int port, const std::string& fingerprint);
    const std::map<THostPort, std::string>& TrustedCertificates() const { return trusted_; }

    // The remote folder a local folder was last published to, per site ("user@host:port"
    // as SiteKey makes it); nothing when it never was.
    std::optional<std::string> PublishedTo(const std::string& site,
                                           const std::string& localRoot) const;
    void RememberPublish(const std::string& site, const std::string& localRoot,
                         const std::string& remoteRoot);
    static std::string SiteKey(const std::string& user, const std::string& host, int port);

    // Where visitors see a site (per SiteKey), for the check over HTTP after a publish; ""
    // when none was given. An empty url forgets it.
    std::string VerifyUrl(const std::string& site) const;
    void RememberVerifyUrl(const std::string& site, const std::string& url);

private:
    std::map<THostPort, std::string> trusted_;
    std::map<std::pair<std::string, std::string>, std::string> published_;
    std::map<std::string, std::string> verifyUrls_;
};

} // namespace kestrel
