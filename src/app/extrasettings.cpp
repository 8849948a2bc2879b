#include "app/extrasettings.h"

#include "app/config.h"
#include "base/files.h"
#include "base/streams.h"

#include <QByteArray>
#include <QSettings>
#include <QString>
#include <QTemporaryFile>

namespace kestrel {

namespace {

constexpr char kDataModeKey[] = "Connection/DataMode";
constexpr char kEncryptionKey[] = "Connection/Encryption";
constexpr char kConnectionsKey[] = "Publish/Connections";
constexpr char kTrustedGroup[] = "TrustedCertificates";
constexpr char kPublishedGroup[] = "PublishedFolders";
constexpr char kVerifyGroup[] = "VerifyUrls";
// The file is small; a larger one is not ours and is not read.
constexpr std::size_t kMaxFileSize = 1024 * 1024;

// The words stored for the two choices, in the order of the enumerations.
const char* const kDataModeWords[] = {"active", "passive"};
const char* const kEncryptionWords[] = {"none", "if-offered", "required", "implicit"};

// Reads the whole file without following a link and without blocking on a pipe.
TReadResult ReadSettingsText(const std::string& path, QByteArray& content) {
    std::string text;
    const TReadResult result = ReadRegularFile(path, text, kMaxFileSize);
    content = QByteArray(text.data(), qsizetype(text.size()));
    return result;
}

// A QSettings object works on a file name only: the content is handed over in a private
// temporary file, so that QSettings never opens the real name itself.
class TSettingsCopy {
public:
    explicit TSettingsCopy(const QByteArray& content) {
        if (!file_.open())
            return;
        file_.write(content);
        file_.flush();
        settings_ = std::make_unique<QSettings>(file_.fileName(), QSettings::IniFormat);
    }
    QSettings* Settings() { return settings_.get(); }
    QByteArray Content() {
        settings_->sync();
        QFile written(file_.fileName());
        if (!written.open(QIODevice::ReadOnly))
            return {};
        return written.readAll();
    }

private:
    QTemporaryFile file_;
    std::unique_ptr<QSettings> settings_;
};

template <typename Enum, std::size_t N>
Enum FromWord(const QString& word, const char* const (&words)[N], Enum fallback) {
    for (std::size_t i = 0; i < N; ++i)
        if (word.compare(words[i], Qt::CaseInsensitive) == 0)
            return Enum(i);
    return fallback;
}

// Hosts are kept byte for byte: percent-encoded, so that any bytes survive the text file.
QString EncodeHost(const std::string& host) {
    return QString::fromLatin1(
        QByteArray(host.data(), qsizetype(host.size())).toPercentEncoding("", ""));
}

std::string DecodeHost(const QString& text) {
    return QByteArray::fromPercentEncoding(text.toLatin1()).toStdString();
}

} // namespace

std::vector<std::string> SettingsFileNames() {
    return {kConfigFileName, kExtraSettingsFileName};
}

std::string TExtraSettings::FilePath(const std::string& folder) {
    if (folder.empty())
        return kExtraSettingsFileName;
    return folder + (folder.back() == '/' ? "" : "/") + kExtraSettingsFileName;
}

bool TExtraSettings::Load(const std::string& folder, std::string* problem) {
    *this = TExtraSettings();
    const std::string path = FilePath(folder);
    QByteArray content;
    switch (ReadSettingsText(path, content)) {
    case TReadResult::Missing:
        return true;
    case TReadResult::Refused:
        if (problem)
            *problem = NotRegularFileText(path);
        return false;
    case TReadResult::Read:
        break;
    }
    TSettingsCopy copy(content);
    QSettings* settings = copy.Settings();
    if (!settings || settings->status() != QSettings::NoError)
        return true;
    DataMode = FromWord(settings->value(kDataModeKey).toString(), kDataModeWords, DataMode);
    Encryption = FromWord(settings->value(kEncryptionKey).toString(), kEncryptionWords, Encryption);
    bool number = false;
    const int connections = settings->value(kConnectionsKey).toInt(&number);
    if (number && connections >= kMinPublishConnections && connections <= kMaxPublishConnections)
        PublishConnections = connections;
    const int count = settings->beginReadArray(kTrustedGroup);
    for (int i = 0; i < count; ++i) {
        settings->setArrayIndex(i);
        const std::string host = DecodeHost(settings->value("Host").toString());
        const std::string fingerprint = settings->value("Fingerprint").toString().toStdString();
        bool valid = true;
        const QVariant portValue = settings->value("Port");
        const int port = portValue.isValid() ? portValue.toInt(&valid) : 0; // none: every port
        if (!host.empty() && !fingerprint.empty() && valid && port >= 0 && port <= 65535)
            trusted_[{host, port}] = fingerprint;
    }
    settings->endArray();
    const int folders = settings->beginReadArray(kPublishedGroup);
    for (int i = 0; i < folders; ++i) {
        settings->setArrayIndex(i);
        const std::string site = DecodeHost(settings->value("Site").toString());
        const std::string local = DecodeHost(settings->value("Local").toString());
        if (!site.empty() && !local.empty())
            published_[{site, local}] = DecodeHost(settings->value("Remote").toString());
    }
    settings->endArray();
    const int urls = settings->beginReadArray(kVerifyGroup);
    for (int i = 0; i < urls; ++i) {
        settings->setArrayIndex(i);
        const std::string site = DecodeHost(settings->value("Site").toString());
        const std::string url = settings->value("Url").toString().toStdString();
        if (!site.empty() && !url.empty())
            verifyUrls_[site] = url;
    }
    settings->endArray();
    return true;
}

bool TExtraSettings::Save(const std::string& folder, std::string* problem) const {
    const std::string path = FilePath(folder);
    QByteArray content;
    if (ReadSettingsText(path, content) == TReadResult::Refused) {
        if (problem)
            *problem = NotRegularFileText(path);
        return false;
    }
    TSettingsCopy copy(content); // starts from the old file: unknown entries stay
    QSettings* settings = copy.Settings();
    if (!settings) {
        if (problem)
            *problem = "File not found";
        return false;
    }
    settings->setValue(kDataModeKey, kDataModeWords[int(DataMode)]);
    settings->setValue(kEncryptionKey, kEncryptionWords[int(Encryption)]);
    settings->setValue(kConnectionsKey, PublishConnections);
    settings->remove(kTrustedGroup);
    settings->beginWriteArray(kTrustedGroup, int(trusted_.size()));
    int index = 0;
    for (const auto& [where, fingerprint] : trusted_) {
        settings->setArrayIndex(index++);
        settings->setValue("Host", EncodeHost(where.first));
        if (where.second != 0)
            settings->setValue("Port", where.second);
        settings->setValue("Fingerprint", QString::fromStdString(fingerprint));
    }
    settings->endArray();
    settings->remove(kPublishedGroup);
    settings->beginWriteArray(kPublishedGroup, int(published_.size()));
    index = 0;
    for (const auto& [key, remote] : published_) {
        settings->setArrayIndex(index++);
        settings->setValue("Site", EncodeHost(key.first));
        settings->setValue("Local", EncodeHost(key.second));
        settings->setValue("Remote", EncodeHost(remote));
    }
    settings->endArray();
    settings->remove(kVerifyGroup);
    settings->beginWriteArray(kVerifyGroup, int(verifyUrls_.size()));
    index = 0;
    for (const auto& [site, url] : verifyUrls_) {
        settings->setArrayIndex(index++);
        settings->setValue("Site", EncodeHost(site));
        settings->setValue("Url", QString::fromStdString(url));
    }
    settings->endArray();
    const QByteArray text = copy.Content();
    return ReplaceFileSafely(path, std::string_view(text.constData(), std::size_t(text.size())),
                             problem);
}

TCertificateTrust TExtraSettings::TrustOf(const std::string& host, int port,
                                          const std::string& fingerprint) const {
    auto found = trusted_.find({host, port});
    if (found == trusted_.end())
        found = trusted_.find({host, 0}); // kept for every port of the host
    if (found == trusted_.end())
        return TCertificateTrust::Unknown;
    // Fingerprints are hex: the same certificate in another letter case is the same one.
    return QString::fromStdString(found->second)
                       .compare(QString::fromStdString(fingerprint), Qt::CaseInsensitive) == 0
               ? TCertificateTrust::Trusted
               : TCertificateTrust::Changed;
}

void TExtraSettings::Trust(const std::string& host, int port, const std::string& fingerprint) {
    trusted_[{host, port}] = fingerprint;
}

std::optional<std::string> TExtraSettings::PublishedTo(const std::string& site,
                                                       const std::string& localRoot) const {
    auto found = published_.find({site, localRoot});
    if (found == published_.end())
        return std::nullopt;
    return found->second;
}

void TExtraSettings::RememberPublish(const std::string& site, const std::string& localRoot,
                                     const std::string& remoteRoot) {
    published_[{site, localRoot}] = remoteRoot;
}

std::string TExtraSettings::VerifyUrl(const std::string& site) const {
    auto found = verifyUrls_.find(site);
    return found == verifyUrls_.end() ? std::string() : found->second;
}

void TExtraSettings::RememberVerifyUrl(const std::string& site, const std::string& url) {
    if (url.empty())
        verifyUrls_.erase(site);
    else
        verifyUrls_[site] = url;
}

std::string TExtraSettings::SiteKey(const std::string& user, const std::string& host, int port) {
    return user + "@" + host + ":" + std::to_string(port);
}

} // namespace kestrel
