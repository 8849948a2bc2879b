// The journal of a publish run on this computer, without a server: its text read back as
// written, a journal cut short or damaged in any line never trusted in part, one of
// another site ignored, where it lives, and how it is written (owner-only, never through a
// link, throttled while files go by quickly).
#include "publish/journal.h"
#include "publish/sha256.h"
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

const std::string kHash = BytesSha256("page");
const std::string kSite = "ftp://webuser@127.0.0.1:2121/www";

TJournalState Sample() {
    TJournalState state;
    state.Site = kSite;
    state.Staged["index.htm"] = {kHash, 4};
    state.Staged["images/a b.gif"] = {kHash, 1234};
    state.Placed["css/site.css"] = {kHash, 0};
    state.Sending["video/talk.mp4"] = {kHash, 4194304};
    return state;
}

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

private:
    const char* name_;
    std::optional<std::string> old_;
};

} // namespace

TEST(PublishJournal, TextReadsBackAsWritten) {
    const TJournalState state = Sample();
    const std::string text = FormatJournal(state);
    EXPECT_EQ(text.substr(0, text.find('\n')), "# KestrelFTP journal 1");
    EXPECT_NE(text.find("staged " + kHash + " 1234 images/a b.gif\n"), std::string::npos);
    std::optional<TJournalState> read = ParseJournal(text);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, state);

    TJournalState empty;
    empty.Site = kSite;
    ASSERT_TRUE(ParseJournal(FormatJournal(empty)));
    EXPECT_TRUE(ParseJournal(FormatJournal(empty))->Empty());
}

// Any flaw makes the whole journal untrusted: a journal half written by a crash must not
// lend its other lines a credibility the server has not confirmed.
TEST(PublishJournal, CutShortOrDamagedIsNotTrustedAtAll) {
    const std::string text = FormatJournal(Sample());
    EXPECT_FALSE(ParseJournal(""));
    EXPECT_FALSE(ParseJournal(text.substr(0, text.size() - 1))) << "last line cut short";
    EXPECT_FALSE(ParseJournal(text.substr(0, text.size() - 20)));
    EXPECT_FALSE(ParseJournal("# KestrelFTP manifest 1\n"));
    EXPECT_FALSE(ParseJournal("# KestrelFTP journal 1\n")) << "no site line";
    const std::string head = "# KestrelFTP journal 1\nsite " + kSite + "\n";
    for (const std::string& line : {
             "staged " + kHash + " 4 ../etc/passwd",            // leaves the root
             "staged " + kHash + " 4 /index.htm",               // absolute
             "staged " + kHash + " 4 a//b.htm",                 // an empty part
             "staged " + kHash + " 4 ",                         // no path
             "staged " + kHash.substr(1) + " 4 a.htm",          // short hash
             "staged " + std::string(64, 'G') + " 4 a.htm",     // not hex
             "staged " + kHash + " -4 a.htm",                   // negative size
             "staged " + kHash + " 99999999999999999999 a.htm", // too large
             "moved " + kHash + " 4 a.htm",                     // unknown kind
             std::string("garbage"),
         }) {
        EXPECT_FALSE(ParseJournal(head + line + "\n")) << line;
    }
    EXPECT_TRUE(ParseJournal(head + "placed " + kHash + " 4 a b/c .htm\n"));
}

TEST(PublishJournal, LivesInTheStateFolderOnePerSiteAndRoot) {
    {
        ScopedEnv state("XDG_STATE_HOME", "/x/state");
        EXPECT_EQ(DefaultJournalFolder(), "/x/state/kestrelftp");
    }
    {
        ScopedEnv state("XDG_STATE_HOME", "relative/ignored");
        ScopedEnv home("HOME", "/home/u");
        EXPECT_EQ(DefaultJournalFolder(), "/home/u/.local/state/kestrelftp");
    }
    EXPECT_EQ(JournalSiteName("ftp.example.com", 21, "jsmith", "/htdocs"),
              "ftp://jsmith@ftp.example.com:21/htdocs");
    EXPECT_EQ(JournalSiteName("::1", 2121, "u", "/"), "ftp://u@[::1]:2121/");
    const std::string a = JournalPath("/s", JournalSiteName("h.example", 21, "u", "/www"));
    const std::string b = JournalPath("/s", JournalSiteName("h.example", 21, "u", "/www2"));
    const std::string c = JournalPath("/s", JournalSiteName("h.example", 21, "v", "/www"));
    EXPECT_TRUE(a.starts_with("/s/h.example-21-")) << a;
    EXPECT_TRUE(a.ends_with(".journal"));
    EXPECT_NE(a, b);
    EXPECT_NE(a, c);
    const std::string v6 = JournalPath("/s", JournalSiteName("::1", 21, "u", "/"));
    EXPECT_EQ(v6.find(':'), std::string::npos) << v6;
}

TEST(PublishJournal, WrittenOwnerOnlyAndReadBackByTheNextRun) {
    TempDir state("kestrel-state");
    const std::string path = JournalPath((state.path() / "new" / "kestrelftp").string(), kSite);
    {
        TJournal journal(path, kSite);
        journal.Begin({});
        journal.Staged("a.htm", {kHash, 4});
        journal.Sending("big.bin", {kHash, 4 << 20}); // written at once
        journal.Placed("a.htm");
        journal.Flush();
        EXPECT_EQ(journal.Problem(), "");
    }
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(fs::path(path).parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u) << "the state folder it made is the owner's";

    TJournal next(path, kSite);
    std::vector<std::string> notes;
    TJournalState read = next.Load(notes);
    EXPECT_TRUE(notes.empty());
    EXPECT_EQ(read.Placed.count("a.htm"), 1u);
    EXPECT_TRUE(read.Staged.empty());
    EXPECT_EQ(read.Sending.count("big.bin"), 1u);

    // Another site's journal under this name (a hash collision, a copied file) is ignored.
    TJournal other(path, "ftp://someone@else:21/");
    EXPECT_TRUE(other.Load(notes).Empty());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_NE(notes[0].find("belongs to"), std::string::npos) << notes[0];

    // A run that finishes removes it.
    next.Begin(read);
    next.Finish();
    EXPECT_FALSE(fs::exists(path));
}

// A link in the journal's place is neither followed when read nor written through.
TEST(PublishJournal, ALinkInItsPlaceIsRefused) {
    TempDir state("kestrel-state");
    const fs::path target = state.path() / "elsewhere";
    WriteFileBytes(target, FormatJournal(Sample()));
    const std::string path = JournalPath(state.str(), kSite);
    fs::create_symlink(target, path);
    TJournal journal(path, kSite);
    std::vector<std::string> notes;
    EXPECT_TRUE(journal.Load(notes).Empty());
    ASSERT_EQ(notes.size(), 1u);
    journal.Begin({});
    journal.Staged("a.htm", {kHash, 4});
    journal.Flush();
    EXPECT_EQ(ReadFileBytes(target), FormatJournal(Sample())) << "written through the link";
}

// While files go by quickly the journal is written at most every kJournalPause; what waits
// is written by Flush. It never holds more than was recorded.
TEST(PublishJournal, ThrottledWhileFilesGoByQuickly) {
    TempDir state("kestrel-state");
    const std::string path = JournalPath(state.str(), kSite);
    TJournal journal(path, kSite);
    journal.Begin({});
    for (int i = 0; i < 200; ++i)
        journal.Staged("p" + std::to_string(i) + ".htm", {kHash, 4});
    std::optional<TJournalState> written = ParseJournal(ReadFileBytes(path));
    ASSERT_TRUE(written);
    EXPECT_LE(written->Staged.size(), 200u);
    journal.Flush();
    written = ParseJournal(ReadFileBytes(path));
    ASSERT_TRUE(written);
    EXPECT_EQ(written->Staged.size(), 200u);
    EXPECT_EQ(*written, journal.State());
}

// A journal that cannot be written (its folder is a file) is said once and not tried again;
// the run goes on without it.
TEST(PublishJournal, OneThatCannotBeWrittenIsNotedOnce) {
    TempDir state("kestrel-state");
    WriteFileBytes(state / "blocked", "a file where the folder should be");
    const std::string path = JournalPath((state.path() / "blocked").string(), kSite);
    TJournal journal(path, kSite);
    journal.Begin({});
    const std::string problem = journal.Problem();
    EXPECT_NE(problem.find("The journal could not be written"), std::string::npos) << problem;
    for (int i = 0; i < 50; ++i)
        journal.Staged("p" + std::to_string(i) + ".htm", {kHash, 4});
    journal.Flush();
    EXPECT_EQ(journal.Problem(), problem);
    EXPECT_EQ(journal.State().Staged.size(), 50u) << "the run's own record goes on";
    EXPECT_FALSE(fs::exists(path));
}
