// Listing lines: their cutting, the word splitter, the parsers of each server
// system and the choice of a parser from the answer to SYST.
#include "net/ftp/ftplist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestrel {
namespace {

using Strings = std::vector<std::string>;

TEST(CutListingLineEnd, RemovesOnlyTheLineEnd) {
    EXPECT_EQ(CutListingLineEnd("index.html\r\n"), "index.html");
    EXPECT_EQ(CutListingLineEnd("index.html\n"), "index.html");
    // Short lines lose their line end too; a one-letter name stays a name.
    EXPECT_EQ(CutListingLineEnd("a\r\n"), "a");
    EXPECT_EQ(CutListingLineEnd("a\n"), "a");
    EXPECT_EQ(CutListingLineEnd("\r\n"), "");
    EXPECT_EQ(CutListingLineEnd("\n"), "");
    EXPECT_EQ(CutListingLineEnd(""), "");
    // A last line that arrived without a line feed keeps every character.
    EXPECT_EQ(CutListingLineEnd("index.html"), "index.html");
    EXPECT_EQ(CutListingLineEnd("ab"), "ab");
    // A carriage return that does not precede the line feed is data.
    EXPECT_EQ(CutListingLineEnd("a\rb\n"), "a\rb");
    EXPECT_EQ(CutListingLineEnd("name\r"), "name\r");
}

TEST(DirectoryList, SplitsAtRunsOfSpacesOnly) {
    TFTPDirectoryList list;
    list.ParseLine("a   b\tc d");
    ASSERT_EQ(list.WordCount, 3);
    EXPECT_EQ(list.Words(1), "a");
    EXPECT_EQ(list.Words(2), "b\tc");
    EXPECT_EQ(list.Words(3), "d");

    // Leading and trailing spaces give empty first and last words that count.
    list.ParseLine("  x  ");
    ASSERT_EQ(list.WordCount, 3);
    EXPECT_EQ(list.Words(1), "");
    EXPECT_EQ(list.Words(2), "x");
    EXPECT_EQ(list.Words(3), "");
    // Words of the earlier, longer line do not linger.
    list.ParseLine("one");
    EXPECT_EQ(list.WordCount, 1);
    EXPECT_EQ(list.Words(2), "");
    EXPECT_EQ(list.Words(0), "");
    EXPECT_EQ(list.Words(26), "");
}

TEST(DirectoryList, KeepsAtMost25WordsOf255Characters) {
    TFTPDirectoryList list;
    std::string line;
    for (int i = 1; i <= 30; ++i) {
        line += "w" + std::to_string(i) + " ";
    }
    list.ParseLine(line);
    EXPECT_EQ(list.WordCount, 25);
    EXPECT_EQ(list.Words(25), "w25");

    list.ParseLine(std::string(300, 'x') + " y");
    EXPECT_EQ(list.WordCount, 2);
    EXPECT_EQ(list.Words(1), std::string(255, 'x'));
    EXPECT_EQ(list.Words(2), "y");
}

TEST(UnixList, TakesNameSizeDateAndAttributes) {
    TFTPUnixList list;
    list.ParseLine("total 24");
    list.ParseLine("-rw-r--r--   1 web      users        2048 Jan 15 10:30 index.html");
    list.ParseLine("drwxr-xr-x    2 web users 4096 Feb  3  2023 images");
    EXPECT_EQ(list.Names, (Strings{"index.html", "images"}));
    EXPECT_EQ(list.Sizes, (Strings{"2048", "4096"}));
    EXPECT_EQ(list.Dates, (Strings{"Jan 15 10:30", "Feb 3 2023"}));
    EXPECT_EQ(list.Attributes, (Strings{"-rw-r--r--", "drwxr-xr-x"}));
}

TEST(UnixList, SkipsLinesWithoutEnoughWords) {
    TFTPUnixList list;
    list.ParseLine("total 24");
    EXPECT_EQ(list.WordCount, 2);
    list.ParseLine("");
    // A tab does not separate, so this line has too few words.
    list.ParseLine("-rw-r--r--\t1\tweb\tusers\t2048\tJan\t15\t10:30\tindex.html");
    EXPECT_EQ(list.WordCount, 1);
    EXPECT_TRUE(list.Names.empty());
    EXPECT_TRUE(list.Sizes.empty());
    EXPECT_TRUE(list.Dates.empty());
    EXPECT_TRUE(list.Attributes.empty());
}

// The name is all of the line after the date: blanks inside it, a leading dash or a
// word that looks like a date stay part of it; a link keeps the name before its arrow.
TEST(UnixList, NameIsTheRestOfTheLineAfterTheDate) {
    TFTPUnixList list;
    list.ParseLine("-rw-r--r-- 1 web users 2048 Jan 15 10:30 my page.html");
    list.ParseLine("-rw-r--r-- 1 web users 7 Dec  1  2023 two  blanks ");
    list.ParseLine("lrwxrwxrwx 1 web users 9 Mar 4 09:00 my link -> target dir/x");
    list.ParseLine("-rw-r--r-- 1 web users 5 Mar 4 09:00 a -> b");
    list.ParseLine("-rw-r--r-- 1 web 5 mar 4 2024 Jan 15 10:30");
    EXPECT_EQ(list.Names,
              (Strings{"my page.html", "two  blanks ", "my link", "a -> b", "Jan 15 10:30"}));
    EXPECT_EQ(list.Sizes, (Strings{"2048", "7", "9", "5", "5"}));
    EXPECT_EQ(list.Dates,
              (Strings{"Jan 15 10:30", "Dec 1 2023", "Mar 4 09:00", "Mar 4 09:00", "mar 4 2024"}));
    // Without a recognisable date the columns are read by words as before.
    list.Clear();
    list.ParseLine("-rw-r--r-- 1 web users 2048 Mai 15 10:30 seite.html");
    EXPECT_EQ(list.Names, (Strings{"seite.html"}));
    EXPECT_EQ(list.Sizes, (Strings{"2048"}));
}

TEST(DirectoryList, ClearEmptiesListsButNotWords) {
    TFTPUnixList list;
    list.ParseLine("-rw-r--r-- 1 web users 2048 Jan 15 10:30 index.html");
    list.Clear();
    EXPECT_TRUE(list.Names.empty());
    EXPECT_TRUE(list.Sizes.empty());
    EXPECT_TRUE(list.Dates.empty());
    EXPECT_TRUE(list.Attributes.empty());
    EXPECT_EQ(list.WordCount, 9);
    EXPECT_EQ(list.Words(9), "index.html");
}

TEST(TrailingColumnLists, NameIsTheSecondToLastWord) {
    const std::string line = "-rw 1 web users 512 Mar 4 09:00 page.htm extra";
    for (const int vendor :
         {vendorNetware, vendorDos, vendorVms, vendorMvs, vendorVm, vendorMacOs}) {
        SCOPED_TRACE(vendor);
        auto list = MakeDirectoryList(vendor);
        ASSERT_NE(list, nullptr);
        list->ParseLine(line);
        list->ParseLine("too few words here");
        EXPECT_EQ(list->Names, (Strings{"page.htm"}));
        EXPECT_EQ(list->Sizes, (Strings{"512"}));
        EXPECT_EQ(list->Dates, (Strings{"Mar 4 09:00"}));
        EXPECT_EQ(list->Attributes, (Strings{"-rw"}));
    }
}

TEST(As400List, FillsOnlyNamesAndAttributes) {
    TFTPAS400List list;
    list.ParseLine("WEBUSR 4096 01/15/24 10:30:00 *DIR SITE/");
    list.ParseLine("WEBUSR 1024 01/15/24 *FILE");
    list.ParseLine("a b c");
    EXPECT_EQ(list.Names, (Strings{"*DIR", "*FILE"}));
    EXPECT_EQ(list.Attributes, (Strings{"WEBUSR", "WEBUSR"}));
    EXPECT_TRUE(list.Sizes.empty());
    EXPECT_TRUE(list.Dates.empty());
}

TEST(Vendor, ChosenFromTheSystReply) {
    EXPECT_EQ(VendorFromSystReply("215 UNIX Type: L8\r\n"), vendorUnix);
    EXPECT_EQ(VendorFromSystReply("215 unix Type: L8\r\n"), vendorOther);
    // VMS contains VM but is found first.
    EXPECT_EQ(VendorFromSystReply("215 VMS system\r\n"), vendorVms);
    EXPECT_EQ(VendorFromSystReply("215 VM/ESA\r\n"), vendorVm);
    EXPECT_EQ(VendorFromSystReply("215 NETWARE\r\n"), vendorNetware);
    EXPECT_EQ(VendorFromSystReply("215 MSDOS\r\n"), vendorDos);
    EXPECT_EQ(VendorFromSystReply("215 MVS is the operating system\r\n"), vendorMvs);
    EXPECT_EQ(VendorFromSystReply("215 MACOS Peter's Server\r\n"), vendorMacOs);
    EXPECT_EQ(VendorFromSystReply("215 OS/400 is the remote operating system\r\n"), vendorAs400);
    // UNIX is searched before the others.
    EXPECT_EQ(VendorFromSystReply("215 UNIX emulated by DOS\r\n"), vendorUnix);
    EXPECT_EQ(VendorFromSystReply("215 Plan 9\r\n"), vendorOther);
    EXPECT_EQ(VendorFromSystReply("500 Unknown command\r\n"), vendorOther);
    EXPECT_EQ(VendorFromSystReply(""), vendorOther);
}

TEST(Vendor, EachKnownSystemGetsItsParser) {
    EXPECT_NE(dynamic_cast<TFTPUnixList*>(MakeDirectoryList(vendorUnix).get()), nullptr);
    EXPECT_NE(dynamic_cast<TFTPDOSList*>(MakeDirectoryList(vendorDos).get()), nullptr);
    EXPECT_NE(dynamic_cast<TFTPVMList*>(MakeDirectoryList(vendorVm).get()), nullptr);
    EXPECT_NE(dynamic_cast<TFTPMACOSList*>(MakeDirectoryList(vendorMacOs).get()), nullptr);
    EXPECT_NE(dynamic_cast<TFTPVMSList*>(MakeDirectoryList(vendorVms).get()), nullptr);
    EXPECT_NE(dynamic_cast<TFTPMVSList*>(MakeDirectoryList(vendorMvs).get()), nullptr);
    EXPECT_NE(dynamic_cast<TFTPOTHERList*>(MakeDirectoryList(vendorOther).get()), nullptr);
    EXPECT_NE(dynamic_cast<TFTPAS400List*>(MakeDirectoryList(vendorAs400).get()), nullptr);
    EXPECT_NE(dynamic_cast<TFTPNETWAREList*>(MakeDirectoryList(vendorNetware).get()), nullptr);
    EXPECT_EQ(MakeDirectoryList(vendorAuto), nullptr);
    EXPECT_EQ(MakeDirectoryList(2403), nullptr);
    EXPECT_EQ(MakeDirectoryList(0), nullptr);

    // The other system is read like Unix.
    auto other = MakeDirectoryList(vendorOther);
    other->ParseLine("-rw-r--r-- 1 web users 2048 Jan 15 10:30 index.html");
    EXPECT_EQ(other->Names, (Strings{"index.html"}));
    EXPECT_EQ(other->Sizes, (Strings{"2048"}));
}

} // namespace
} // namespace kestrel
