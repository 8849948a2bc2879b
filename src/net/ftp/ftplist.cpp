#include "net/ftp/ftplist.h"

#include <algorithm>
#include <utility>
#include <vector>

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

// A word of a line and where it ends.
struct Word {
    std::string text;
    std::size_t end = 0; // index just past the word
};

std::vector<Word> SplitAtSpaces(const std::string& line) {
    std::vector<Word> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ')
            ++i;
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ')
            ++i;
        if (i > start)
            words.push_back({line.substr(start, i - start), i});
    }
    return words;
}

bool AllDigits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

bool IsMonth(const std::string& word) {
    static const char* kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                    "jul", "aug", "sep", "oct", "nov", "dec"};
    if (word.size() != 3)
        return false;
    std::string lower;
    for (char c : word)
        lower += char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const char* month : kMonths)
        if (lower == month)
            return true;
    return false;
}

// "10:30" or "2023".
bool IsTimeOrYear(const std::string& word) {
    std::size_t colon = word.find(':');
    if (colon == std::string::npos)
        return word.size() == 4 && AllDigits(word);
    return AllDigits(word.substr(0, colon)) && AllDigits(word.substr(colon + 1));
}

// Index of the month word of "size month day time-or-year name", or 0 when none.
std::size_t FindDate(const std::vector<Word>& words) {
    for (std::size_t i = 1; i + 3 < words.size(); ++i) {
        const std::string& day = words[i + 1].text;
        if (AllDigits(words[i - 1].text) && IsMonth(words[i].text) && AllDigits(day) &&
            day.size() <= 2 && IsTimeOrYear(words[i + 2].text))
            return i;
    }
    return 0;
}

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
    if (!line.empty() && n >= kDatedLayoutWords && !AddDatedUnixEntry(line)) {
        AddEntry(n, n - 4, n - 3);
    }
}

bool TFTPDirectoryList::AddDatedUnixEntry(const std::string& line) {
    const std::vector<Word> words = SplitAtSpaces(line);
    const std::size_t month = FindDate(words);
    if (month == 0)
        return false;
    // One space separates the date from the name; any further ones belong to the name.
    std::string name = line.substr(std::min(line.size(), words[month + 2].end + 1));
    const std::size_t arrow = name.find(" -> ");
    if (line[0] == 'l' && arrow != std::string::npos)
        name.resize(arrow);
    Names.push_back(name);
    Sizes.push_back(Capped(words[month - 1].text));
    Dates.push_back(
        Capped(words[month].text + ' ' + words[month + 1].text + ' ' + words[month + 2].text));
    Attributes.push_back(Words(1));
    return true;
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

std::string RemoteNameProblem(const std::string& name) {
    if (name.empty())
        return "is empty";
    if (name == "." || name == "..")
        return "names a folder itself or its parent";
    if (name.find('/') != std::string::npos)
        return "holds a \"/\"";
    if (name.find_first_of(std::string("\0\r\n", 3)) != std::string::npos)
        return "holds a line end or a zero byte";
    // "..\x", "x\..", "x\..\y": a parent folder to a server that takes a backslash for "/".
    std::size_t start = 0;
    for (;;) {
        std::size_t end = name.find('\\', start);
        if (name.compare(start, end == std::string::npos ? std::string::npos : end - start, "..") ==
            0)
            return "names a parent folder between backslashes";
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return {};
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
