// The client side of the address-translation test: logs in, then uploads each file
// given (in image type) or, with no files, lists the folder. Prints "uploaded NAME",
// "item NAME" or "error MESSAGE" and exits 1 on the first error.
//
//   netns_client HOST PORT USER PASSWORD active|passive FILE...
#include "net/ftp/vaneftp.h"

#include <cstdio>
#include <exception>
#include <string>

using namespace kestrel;

namespace {

constexpr std::int32_t kConnectLimitMs = 5000; // no wait of this test may hang

std::string OneLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s HOST PORT USER PASSWORD active|passive FILE...\n", argv[0]);
        return 2;
    }
    TVaneFTP ftp(nullptr);
    ftp.Host = argv[1];
    ftp.Port = std::stoi(argv[2]);
    ftp.UserID = argv[3];
    ftp.Password = argv[4];
    ftp.DataMode = std::string(argv[5]) == "passive" ? TDataMode::Passive : TDataMode::Active;
    ftp.TimeOut = kConnectLimitMs;
    ftp.OnListItem = [](const std::string& name) { std::printf("item %s\n", name.c_str()); };
    try {
        ftp.Connect();
        ftp.Mode(2);
        for (int i = 6; i < argc; ++i) {
            std::string path = argv[i];
            ftp.Upload(path, "");
            std::printf("uploaded %s\n", path.c_str());
        }
        if (argc == 6)
            ftp.Nlist();
        ftp.Disconnect();
    } catch (const std::exception& e) {
        std::printf("error %s\n", OneLine(e.what()).c_str());
        return 1;
    }
    return 0;
}
