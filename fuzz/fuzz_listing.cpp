// Feeds arbitrary listing data through the line cutting and every parser, and
// checks what the parsers promise: at most 25 words of at most 255 characters,
// and aligned lists.
#include "net/ftp/ftplist.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

using namespace kestrel;

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

constexpr int kVendors[] = {vendorUnix, vendorDos,   vendorVm,    vendorMacOs,  vendorVms,
                            vendorMvs,  vendorOther, vendorAs400, vendorNetware};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // Any text taken as a SYST reply gives a vendor that has a parser.
    const int detected = VendorFromSystReply(input);
    Check(MakeDirectoryList(detected) != nullptr);

    for (const int vendor : kVendors) {
        auto list = MakeDirectoryList(vendor);
        Check(list != nullptr);
        std::size_t lines = 0;
        std::size_t start = 0;
        while (start < input.size()) {
            std::size_t end = input.find('\n', start);
            end = end == std::string::npos ? input.size() : end + 1;
            const std::string raw = input.substr(start, end - start);
            const std::string line = CutListingLineEnd(raw);
            // Only the line end goes: the line is a prefix of what came in.
            Check(raw.compare(0, line.size(), line) == 0);
            Check(raw.size() - line.size() <= 2);
            Check(line.find('\n') == std::string::npos);
            list->ParseLine(line);
            ++lines;
            Check(list->WordCount >= 0 && list->WordCount <= TFTPDirectoryList::MaxWords);
            for (int i = 0; i <= TFTPDirectoryList::MaxWords + 1; ++i) {
                Check(list->Words(i).size() <= TFTPDirectoryList::MaxWordLength);
                Check(list->Words(i).find(' ') == std::string::npos);
            }
            start = end;
        }
        Check(list->Names.size() <= lines);
        Check(list->Names.size() == list->Attributes.size());
        if (vendor == vendorAs400) {
            Check(list->Sizes.empty() && list->Dates.empty());
        } else {
            Check(list->Names.size() == list->Sizes.size());
            Check(list->Names.size() == list->Dates.size());
        }
        for (const auto& date : list->Dates) {
            Check(date.size() <= TFTPDirectoryList::MaxWordLength);
        }
        list->Clear();
        Check(list->Names.empty() && list->Sizes.empty() && list->Dates.empty() &&
              list->Attributes.empty());
    }
    return 0;
}
