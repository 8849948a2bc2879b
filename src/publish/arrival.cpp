#include "publish/arrival.h"

#include "base/exception.h"
#include "base/files.h"
#include "net/ftp/ftpreply.h"
#include "net/ftp/vaneftp.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {
namespace {

std::string Upper(std::string text) {
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream stream(text);
    while (std::getline(stream, part, separator))
        parts.push_back(part);
    return parts;
}

// The length in hex digits of a digest by the method (0: a size in decimal).
std::size_t HexLength(const TArrivalMethod& method) {
    if (method.kind == TArrivalMethod::Size)
        return 0;
    const std::string& a = method.algorithm;
    if (a == "SHA-256" || a == "XSHA256")
        return 64;
    if (a == "SHA-1" || a == "XSHA1")
        return 40;
    if (a == "MD5" || a == "XMD5")
        return 32;
    return 8; // CRC32, XCRC
}

const EVP_MD* DigestOf(const TArrivalMethod& method) {
    switch (HexLength(method)) {
    case 64:
        return EVP_sha256();
    case 40:
        return EVP_sha1();
    case 32:
        return EVP_md5();
    default:
        return nullptr; // CRC32, computed here
    }
}

// CRC-32 as zip and the XCRC servers compute it (reflected, polynomial 0xEDB88320).
std::uint32_t Crc32(std::uint32_t crc, const unsigned char* data, std::size_t size) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string Hex(const unsigned char* bytes, std::size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 15];
    }
    return text;
}

} // namespace

std::string TArrivalMethod::Name() const {
    switch (kind) {
    case Hash:
        return "HASH " + algorithm;
    case OldHash:
        return algorithm;
    case Size:
        break;
    }
    return "SIZE";
}

TArrivalMethod ChooseArrivalMethod(const std::vector<std::string>& features) {
    std::vector<std::string> offered; // upper case, without arguments
    for (const std::string& feature : features) {
        const std::string line = Upper(feature);
        if (line.rfind("HASH ", 0) == 0) {
            // "HASH SHA-256*;SHA-1;MD5": the starred one is the server's current choice.
            std::vector<std::string> algorithms = Split(line.substr(5), ';');
            for (const char* wanted : {"SHA-256", "SHA-1", "MD5", "CRC32"}) {
                for (std::string algorithm : algorithms) {
                    while (!algorithm.empty() &&
                           std::isspace(static_cast<unsigned char>(algorithm.back())))
                        algorithm.pop_back();
                    const bool current = !algorithm.empty() && algorithm.back() == '*';
                    if (current)
                        algorithm.pop_back();
                    if (algorithm == wanted)
                        return {TArrivalMethod::Hash, wanted, !current};
                }
            }
        }
        offered.push_back(line.substr(0, line.find(' ')));
    }
    for (const char* command : {"XSHA256", "XSHA1", "XMD5", "XCRC"}) {
        if (std::find(offered.begin(), offered.end(), command) != offered.end())
            return {TArrivalMethod::OldHash, command, false};
    }
    return {};
}

std::optional<std::string> ProofInReply(const TArrivalMethod& method, const std::string& line) {
    const std::size_t length = HexLength(method);
    // The words after the reply code; the first that has the proof's form is the proof (a
    // HASH reply names the algorithm and the byte range before it, the file after it).
    std::istringstream words(line.size() > 4 ? line.substr(4) : "");
    std::string word;
    while (words >> word) {
        const bool digits = std::all_of(word.begin(), word.end(), [&](char c) {
            return length == 0 ? std::isdigit(static_cast<unsigned char>(c)) != 0
                               : std::isxdigit(static_cast<unsigned char>(c)) != 0;
        });
        if (!digits || (length != 0 && word.size() != length) || (length == 0 && word.size() > 18))
            continue;
        for (char& c : word)
            c = char(std::tolower(static_cast<unsigned char>(c)));
        return word;
    }
    return std::nullopt;
}

std::string LocalProof(const TArrivalMethod& method, const std::string& path) {
    if (method.kind == TArrivalMethod::Size) {
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0)
            throw EFOpenError("Cannot open file " + path);
        return std::to_string(info.st_size);
    }
    const EVP_MD* type = DigestOf(method);
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (type && (!context || EVP_DigestInit_ex(context.get(), type, nullptr) != 1))
        throw Exception(method.Name() + " is not available here");
    std::uint32_t crc = 0;
    ReadChunks(path, [&](const char* data, std::size_t size) {
        if (type)
            EVP_DigestUpdate(context.get(), data, size);
        else
            crc = Crc32(crc, reinterpret_cast<const unsigned char*>(data), size);
    });
    if (!type) {
        const unsigned char bytes[4] = {
            static_cast<unsigned char>(crc >> 24), static_cast<unsigned char>(crc >> 16),
            static_cast<unsigned char>(crc >> 8), static_cast<unsigned char>(crc)};
        return Hex(bytes, 4);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1)
        throw Exception(method.Name() + " is not available here");
    return Hex(digest, size);
}

namespace {

// The command that asks for the method's proof of a remote file.
std::string ProofCommand(const TArrivalMethod& method, const std::string& remotePath) {
    switch (method.kind) {
    case TArrivalMethod::Hash:
        return "HASH " + remotePath;
    case TArrivalMethod::OldHash:
        return method.algorithm + " " + remotePath;
    case TArrivalMethod::Size:
        break;
    }
    return "SIZE " + remotePath;
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace

std::vector<TServerProof> AskServerTogether(TVaneFTP& ftp, const TArrivalMethod& method,
                                            const std::vector<std::string>& remotePaths) {
    std::vector<TServerProof> answers(remotePaths.size());
    if (!ftp.Pipelining || remotePaths.size() < 2) {
        for (std::size_t i = 0; i < remotePaths.size(); ++i) {
            try {
                answers[i].proof = AskServer(ftp, method, remotePaths[i]);
            } catch (const FTPException& refused) {
                answers[i].missing = WithoutLineEnd(refused.what());
            }
        }
        return answers;
    }
    std::vector<std::string> commands;
    if (method.kind == TArrivalMethod::Hash && method.needsOpts)
        commands.push_back("OPTS HASH " + method.algorithm);
    const std::size_t first = commands.size();
    for (const std::string& path : remotePaths)
        commands.push_back(ProofCommand(method, path));
    std::vector<FtpReply> replies = ftp.Pipeline(commands);
    for (std::size_t i = 0; i < remotePaths.size(); ++i) {
        const FtpReply& reply = replies[first + i];
        std::optional<std::string> proof;
        if (IsCompletion(reply.code))
            proof = ProofInReply(method, reply.First());
        if (proof)
            answers[i].proof = *proof;
        else if (!IsCompletion(reply.code))
            answers[i].missing = WithoutLineEnd(reply.Text());
        else
            answers[i].missing = "The server's answer to " + method.Name() +
                                 " holds none: " + WithoutLineEnd(reply.First());
    }
    return answers;
}

std::string AskServer(TVaneFTP& ftp, const TArrivalMethod& method, const std::string& remotePath) {
    if (method.kind == TArrivalMethod::Hash && method.needsOpts)
        ftp.DoCommand("OPTS HASH " + method.algorithm);
    ftp.DoCommand(ProofCommand(method, remotePath));
    std::optional<std::string> proof = ProofInReply(method, ftp.LastReply);
    if (!proof)
        throw FTPException("The server's answer to " + method.Name() +
                           " holds none: " + ftp.LastReply);
    return *proof;
}

} // namespace kestrel
