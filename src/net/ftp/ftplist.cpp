#include "net/ftp/ftplist.h"

#include <utility>

namespace kestrel {

namespace {

const std::string kNoWord;

std::string Capped(std::string text) {
    if (text.size() > TFTPDirectoryList::MaxWordLength) {
        text.resize(TFTPDirectoryList::MaxWordLength);
    }
    return text;
}

// Minimum word counts of the two dated layouts and of AS/400.
constexpr int kDatedLayoutWords = 8;
constexpr int kAs400Words = 4;

} // namespace

const std::string& TFTPDirectoryList::Words(int n) const {
    if (n < 1 || n > MaxWords) {
        return kNoWord;
    }
    return words_[std::size_t(n - 1)];
}

void TFTPDirectoryList::ParseLine(const std::string& line) {
    if (line.empty()) {
        return;
    }
    for (auto& word : words_) {
        word.clear();
    }
    int current = 1;
    bool inSpaces = false;
    for (const char c : line) {
        if (c == ' ') {
            // The first space of a run starts the next word; the rest are skipped.
            // Counting stops past the last word kept, so no line can overflow it.
            if (!inSpaces && current <= MaxWords) {
                ++current;
                inSpaces = true;
            }
            continue;
        }
        inSpaces = false;
        if (current > MaxWords) {
            continue;
        }
        std::string& word = words_[std::size_t(current - 1)];
        if (word.size() < MaxWordLength) {
            word += c;
        }
    }
    WordCount = current < MaxWords ? current : MaxWords;
}

void TFTPDirectoryList::Clear() {
    Attributes.clear();
    Names.clear();
    Sizes.clear();
    Dates.clear();
}

void TFTPDirectoryList::ParseUnixLayout(const std::string& line) {
    TFTPDirectoryList::ParseLine(line);
    const int n = WordCount;
    if (!line.empty() && n >= kDatedLayoutWords) {
        AddEntry(n, n - 4, n - 3);
    }
}

void TFTPDirectoryList::ParseTrailingColumnLayout(const std::string& line) {
    TFTPDirectoryList::ParseLine(line);
    const int n = WordCount;
    if (!line.empty() && n >= kDatedLayoutWords) {
        AddEntry(n - 1, n - 5, n - 4);
    }
}

void TFTPDirectoryList::AddEntry(int nameWord, int sizeWord, int dateWord) {
    Names.push_back(Words(nameWord));
    Sizes.push_back(Words(sizeWord));
    Dates.push_back(
        Capped(Words(dateWord) + ' ' + Words(dateWord + 1) + ' ' + Words(dateWord + 2)));
    Attributes.push_back(Words(1));
}

void TFTPUnixList::ParseLine(const std::string& line) {
    ParseUnixLayout(line);
}

void TFTPOTHERList::ParseLine(const std::string& line) {
    ParseUnixLayout(line);
}

void TFTPNETWAREList::ParseLine(const std::string& line) {
    ParseTrailingColumnLayout(line);
}

void TFTPDOSList::ParseLine(const std::string& line) {
    ParseTrailingColumnLayout(line);
}

void TFTPVMSList::ParseLine(const std::string& line) {
    ParseTrailingColumnLayout(line);
}

void TFTPMVSList::ParseLine(const std::string& line) {
    ParseTrailingColumnLayout(line);
}

void TFTPVMList::ParseLine(const std::string& line) {
    ParseTrailingColumnLayout(line);
}

void TFTPMACOSList::ParseLine(const std::string& line) {
    ParseTrailingColumnLayout(line);
}

void TFTPAS400List::ParseLine(const std::string& line) {
    TFTPDirectoryList::ParseLine(line);
    const int n = WordCount;
    if (line.empty() || n < kAs400Words) {
        return;
    }
    const std::string& last = Words(n);
    Names.push_back(!last.empty() && last.front() == '*' ? last : Words(n - 1));
    Attributes.push_back(Words(1));
}

int VendorFromSystReply(const std::string& reply) {
    // VMS comes before VM, which it contains.
    static const std::pair<const char*, int> kSystems[] = {
        {"UNIX", vendorUnix},   {"NETWARE", vendorNetware}, {"DOS", vendorDos},
        {"VMS", vendorVms},     {"MVS", vendorMvs},         {"VM", vendorVm},
        {"MACOS", vendorMacOs}, {"OS/400", vendorAs400},
    };
    for (const auto& [text, vendor] : kSystems) {
        if (reply.find(text) != std::string::npos) {
            return vendor;
        }
    }
    return vendorOther;
}

std::unique_ptr<TFTPDirectoryList> MakeDirectoryList(int vendor) {
    switch (vendor) {
    case vendorUnix:
        return std::make_unique<TFTPUnixList>();
    case vendorDos:
        return std::make_unique<TFTPDOSList>();
    case vendorVm:
        return std::make_unique<TFTPVMList>();
    case vendorMacOs:
        return std::make_unique<TFTPMACOSList>();
    case vendorVms:
        return std::make_unique<TFTPVMSList>();
    case vendorMvs:
        return std::make_unique<TFTPMVSList>();
    case vendorOther:
        return std::make_unique<TFTPOTHERList>();
    case vendorAs400:
        return std::make_unique<TFTPAS400List>();
    case vendorNetware:
        return std::make_unique<TFTPNETWAREList>();
    default:
        return nullptr;
    }
}

std::string CutListingLineEnd(std::string line) {
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
    }
    return line;
}

} // namespace kestrel
