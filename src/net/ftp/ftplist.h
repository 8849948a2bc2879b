// Directory listings in the long format of a server's LIST command: the line
// splitter, the parsers for the server systems we know, the choice of a parser
// from the answer to SYST, and the cutting of a listing line's end.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

// Server systems, as the Vendor property of the FTP component holds them.
constexpr int vendorUnix = 2400;
constexpr int vendorDos = 2401;
constexpr int vendorVm = 2402;
constexpr int vendorMacOs = 2404;
constexpr int vendorVms = 2406;
constexpr int vendorMvs = 2408;
constexpr int vendorOther = 2410;
// Not a system: detect it with SYST before the next LIST.
constexpr int vendorAuto = 2411;
constexpr int vendorAs400 = 2414;
constexpr int vendorNetware = 2416;

// Base of the listing parsers. ParseLine splits a line into Words; each subclass
// then adds the fields of the line, in the layout of its system, to the lists.
// For a parser that fills all four lists, entry i of each list describes the same
// directory entry.
class TFTPDirectoryList {
public:
    // Words beyond this many are ignored; a word keeps only its first MaxWordLength
    // characters, and so does a date.
    static constexpr int MaxWords = 25;
    static constexpr std::size_t MaxWordLength = 255;

    TFTPDirectoryList() = default;
    virtual ~TFTPDirectoryList() = default;
    TFTPDirectoryList(const TFTPDirectoryList&) = delete;
    TFTPDirectoryList& operator=(const TFTPDirectoryList&) = delete;

    std::vector<std::string> Attributes;
    std::vector<std::string> Names;
    std::vector<std::string> Dates;
    std::vector<std::string> Sizes;
    // The number of words of the line last split (at most MaxWords).
    int WordCount = 0;

    // Word n (1 to MaxWords) of the line last split; empty outside that range and
    // beyond WordCount.
    const std::string& Words(int n) const;

    // Splits line into words at runs of spaces (only the space separates: a tab is
    // an ordinary character). A leading space gives an empty word 1 and trailing
    // spaces an empty last word; both count. An empty line is skipped: nothing is
    // split and nothing added. Subclasses call this first, then add their fields.
    virtual void ParseLine(const std::string& line);

    // Empties the four lists; Words stays as it is.
    void Clear();

protected:
    // Split line, then add its fields when it has enough words for a dated layout:
    // the Unix layout (... size month day time name) or the layout with one more
    // column after the name. In the Unix layout the name is all of the line after the
    // date's time or year ("my page.htm" stays whole), for a link ("l...") the part
    // before " -> "; a line without a recognisable date is read by words.
    void ParseUnixLayout(const std::string& line);
    void ParseTrailingColumnLayout(const std::string& line);

private:
    // Adds the name (word nameWord), the size (word sizeWord), the date (the three
    // words from dateWord on) and the attributes (word 1) of the line last split.
    void AddEntry(int nameWord, int sizeWord, int dateWord);
    // The Unix layout read from its date on; false when the line has no date.
    bool AddDatedUnixEntry(const std::string& line);

    std::array<std::string, MaxWords> words_;
};

// name, size, date and attributes in the Unix layout: the rest of the line after the
// date, the word before the date, month day time-or-year, word 1.
class TFTPUnixList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

// The systems below share one layout, with a column after the name:
// words n-1, n-5, n-4..n-2, 1.
class TFTPNETWAREList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

class TFTPDOSList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

class TFTPVMSList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

class TFTPMVSList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

class TFTPVMList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

class TFTPMACOSList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

// Only names and attributes: the name is word n when it begins with "*", else
// word n-1. Sizes and Dates stay empty.
class TFTPAS400List : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

// Any other system is read in the Unix layout.
class TFTPOTHERList : public TFTPDirectoryList {
public:
    void ParseLine(const std::string& line) override;
};

// The vendor named by the first line of a SYST reply: the first of "UNIX",
// "NETWARE", "DOS", "VMS", "MVS", "VM", "MACOS", "OS/400" that the reply contains,
// searched in this order and case-sensitively; vendorOther when none is there.
int VendorFromSystReply(const std::string& reply);

// A new parser for vendor; nullptr for a value that has no parser (vendorAuto
// among them), in which case the listing is not parsed.
std::unique_ptr<TFTPDirectoryList> MakeDirectoryList(int vendor);

// Why a name that a server lists cannot be taken as the name of an entry of the folder
// listed, or empty when it can. Refused: the empty name, "." and ".." (the folder itself
// and its parent), a name holding "/" (an entry of another folder), or a NUL, CR or LF
// (no command line can carry it), and ".." between backslashes ("..\x", the separator
// of Windows servers). Whatever a server lists, a client that acts only on names that
// pass stays inside the folders it lists.
std::string RemoteNameProblem(const std::string& name);

// A listing line as read from the data connection, without its line end: a
// trailing line feed and a carriage return before it are removed. A line that
// ends in neither (the last line of a listing whose server closed without a line
// feed) is returned whole.
std::string CutListingLineEnd(std::string line);

} // namespace kestrel
