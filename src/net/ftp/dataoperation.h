// The switches and state of one listing or transfer as TVaneFTP's data steps run it.
// Private to the FTP component: only its own sources include this header.
#pragma once

#include "net/ftp/vaneftp.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kestrel {

struct TVaneFTP::DataOperation {
    enum Direction { Listing, Sending, Receiving };
    TCmdType kind = cmdList;
    Direction direction = Listing;
    std::string status;  // status text shown before the command
    std::string command; // the transfer command
    Policy policy = Policy::Events;
    bool unsupported = false;       // OnUnSupportedFunction on the command's refusal
    bool sizeFromReply = false;     // BytesTotal from the size the command's reply announces
    bool startBeforeAccept = false; // OnTransactionStart before the data connection (LIST)
    bool flushAtEnd = false;
    std::int64_t restartAt = -1;         // REST n before the command when >= 0
    std::int64_t announced = 0;          // the size the command's reply announced; 0: none
    bool sentWithPassive = false;        // the transfer command went with the EPSV
    bool probe = false;                  // a NOOP goes with the EPSV and the command
    bool noopPending = false;            // that NOOP's reply is still to come
    std::function<void()> sendNext;      // once the data is sent, before the completion reply
    std::function<void()> prepare;       // before the data port is opened
    std::function<void(TCorsock&)> move; // the data step
    std::function<void()> verify;        // after a completion reply that reports success

    // The data connection: the one owner of the data socket, freed by EndDataOperation.
    std::unique_ptr<TCorsock> socket;
    bool sentWhole = false;     // an upload handed over all its bytes: a graceful close may end it
    bool tlsNotResumed = false; // the data connection's TLS began a session of its own
};

} // namespace kestrel
