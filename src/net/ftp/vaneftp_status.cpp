// TVaneFTP: commands sent together whose replies may carry listings, read in order.
//
//   -> STAT /site/a\r\nSTAT /site/b\r\n                          (one packet)
//   <- 213-Status follows:
//   <- drwxr-xr-x    2 1006     0            4096 Dec 09 08:05 img
//   <- 213 End of status
//   <- 550 /site/b: no such file or directory
#include "net/ftp/ftpreply.h"
#include "net/ftp/vaneftp.h"

#include <utility>

namespace kestrel {
namespace {

bool EndsInCrLf(const std::string& line) {
    return line.size() >= 2 && line[line.size() - 2] == '\r' && line.back() == '\n';
}

} // namespace

std::vector<FtpReply>
TVaneFTP::PipelineListing(const std::vector<std::string>& commands,
                          const std::function<void(std::size_t, const std::string&)>& onLine,
                          std::size_t mostBytes) {
    SendTogether(commands);
    std::vector<FtpReply> replies;
    replies.reserve(commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i)
        replies.push_back(ListingReply(i, onLine, mostBytes));
    return replies;
}

FtpReply TVaneFTP::ListingReply(std::size_t index,
                                const std::function<void(std::size_t, const std::string&)>& onLine,
                                std::size_t mostBytes) {
    for (;;) {
        StartReplyClock();
        FtpReply reply;
        std::string first = ReadReplyLine();
        if (std::exchange(staleTail_, false))
            first = ReadReplyLine();
        StatusMessage(slProtocol, first);
        reply.code = ReplyCodeOf(first);
        LastReply = first;
        ReplyCode = std::int16_t(reply.code);
        if (reply.code == 0)
            throw FTPException(InvalidReplyText(first));
        const bool continues = first[3] == '-';
        const bool crLf = EndsInCrLf(first);
        std::size_t bytes = first.size();
        reply.Add(std::move(first));
        while (continues) {
            std::string line = ReadReplyLine();
            bytes += line.size();
            // A bare LF inside a line of a server that ends its lines with CR LF is part of
            // a name; the line goes on.
            while (crLf && !EndsInCrLf(line) && bytes <= mostBytes) {
                std::string more = ReadReplyLine();
                bytes += more.size();
                line += more;
            }
            if (bytes > mostBytes)
                throw FTPException("The server's reply goes on past " + std::to_string(mostBytes) +
                                   " bytes");
            // RFC 959: the reply ends at the line with its code and a space.
            if (ReplyCodeOf(line) == reply.code && line[3] == ' ') {
                StatusMessage(slProtocol, line);
                reply.Add(std::move(line));
                break;
            }
            if (onLine)
                onLine(index, CutListingLineEnd(std::move(line)));
        }
        reply.length = bytes;
        if (!IsPreliminary(reply.code))
            return reply;
    }
}

} // namespace kestrel
