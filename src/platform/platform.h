// The event platform: per thread one FIFO message queue, socket notifications,
// timers and asynchronous host lookup.
//
// It stands in for hidden notification windows, window timers and an asynchronous
// socket library. Each thread that uses it has its own loop, as a message queue
// belongs to its thread: its own queue, targets, timers, socket registrations, wake
// descriptor, UI hook and last error, made on first use and freed when the thread
// ends. A target, a timer and a socket belong to the thread that made them (or
// registered them) and are used only on that thread; a target id used on another
// thread names nothing there, so its messages are dropped. The only ways in from
// other threads are post_to_thread() and the result of a host lookup, which returns
// to the thread that asked.
//
// Order of one process_messages() call (on the calling thread's loop):
//   1. collect socket readiness without blocking and queue the notifications,
//   2. move messages from other threads (posts, finished lookups) into the queue,
//   3. queue a tick for every timer that is due,
//   4. dispatch the queue in FIFO order, including messages posted while
//      dispatching, until it is empty or about 10 ms have passed,
//   5. run the UI hook.
//
// Lifetime: a message or lookup result addressed to a target that no longer exists
// is dropped, never delivered; so is one for a thread that has ended. A socket still
// open when its thread ends stays open: its owner closes it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::platform {

using TargetId = std::uint64_t; // 0 is never a valid target

// An IPv4 or IPv6 address with a port, as a socket address holds them.
struct NetAddress {
    enum Family : std::uint8_t { V4 = 4, V6 = 6 };
    Family family = V4;
    std::array<std::uint8_t, 16> bytes{}; // network order; IPv4 uses the first 4
    std::uint16_t port = 0;               // network order
    std::uint32_t scope = 0;              // interface of an IPv6 link-local address

    bool is_v6() const { return family == V6; }
    // The IPv4 address in network order; 0 for an IPv6 one.
    std::uint32_t v4() const;
    // 0.0.0.0 or ::, which names no host to connect to.
    bool unspecified() const;
    // The same host: family, address and scope; the port does not count.
    bool same_host(const NetAddress& other) const;
    // "127.0.0.1" or "::1" (RFC 5952 form, without a scope).
    std::string text() const;
};

NetAddress address_v4(std::uint32_t address, std::uint16_t port = 0);
// A numeric IPv4 (dotted quad only) or IPv6 address, an IPv6 one optionally with a scope
// ("fe80::1%eth0"); std::nullopt for anything else, a host name in particular.
std::optional<NetAddress> parse_address(const std::string& text);

struct Message {
    std::uint32_t code = 0; // message number
    int socket = -1;        // socket the notification is about, -1 if none
    std::uint32_t word = 0; // low 16 bits: event code or length; high 16 bits: error
    std::string payload;    // host lookup: the first IPv4 address of the result (4 bytes)
    std::vector<NetAddress> addresses; // host lookup: every address, in the resolver's order
};

using Handler = std::function<void(const Message&)>;

// Socket event codes, as in the low half of a notification's event word.
enum SocketEvent : std::uint32_t {
    EvRead = 1,
    EvWrite = 2,
    EvOob = 4,
    EvAccept = 8,
    EvConnect = 16,
    EvClose = 32,
    EvAll = 63,
};

// Message numbers used by the platform itself.
constexpr std::uint32_t MsgTimer = 275;

constexpr std::uint32_t MakeWord(std::uint32_t low, std::uint32_t error) {
    return (low & 0xFFFF) | (error << 16);
}
constexpr std::uint32_t LowWord(std::uint32_t word) {
    return word & 0xFFFF;
}
constexpr std::uint32_t HighWord(std::uint32_t word) {
    return word >> 16;
}

// --- Notification targets -------------------------------------------------------
TargetId create_target(Handler handler);
// Drops the target's pending messages and its timers; late deliveries are discarded.
void destroy_target(TargetId target);
bool target_exists(TargetId target);

// Appends a message to the calling thread's queue.
void post(TargetId target, std::uint32_t code, std::uint32_t word, int socket = -1);

// --- Posting from another thread ------------------------------------------------------
namespace detail {
struct Inbox;
}

// A handle on one thread's queue, taken on that thread with this_thread_queue() and
// handed to other threads. Copyable; it keeps nothing of the thread alive but its
// inbox, so posting to a thread that has ended is harmless.
class ThreadQueue {
public:
    ThreadQueue() = default; // names no thread
    explicit ThreadQueue(std::shared_ptr<detail::Inbox> inbox) : inbox_(std::move(inbox)) {}
    explicit operator bool() const { return inbox_ != nullptr; }

private:
    friend bool post_to_thread(const ThreadQueue&, TargetId, Message);
    std::shared_ptr<detail::Inbox> inbox_;
};

// The calling thread's queue (made on first use).
ThreadQueue this_thread_queue();

// Thread-safe: appends a message for target (a target of that thread) to the queue
// of the given thread and wakes its wait step or idle loop. Messages from one poster
// arrive in the order posted. Returns false when the thread has ended or the handle
// names no thread; the message is then dropped.
bool post_to_thread(const ThreadQueue& thread, TargetId target, Message message);
inline bool post_to_thread(const ThreadQueue& thread, TargetId target, std::uint32_t code,
                           std::uint32_t word) {
    Message m;
    m.code = code;
    m.word = word;
    return post_to_thread(thread, target, std::move(m));
}

// --- Sockets (non-blocking TCP over IPv4 or IPv6) --------------------------------------
// Addresses and ports are in network byte order, as they sit in a socket address.
// Failing calls return -1 and leave the error, mapped to its table number, in
// last_error(). The forms with a 32-bit address are IPv4's; the NetAddress forms take
// either family (an IPv6 socket speaks IPv6 only, never IPv4 through mapped addresses).
constexpr int InvalidSocket = -1;

int sock_create(); // IPv4
int sock_create(NetAddress::Family family);
// The family of a socket, or -1 when fd is none.
int sock_family(int fd);
// Starts a connect. A connect that cannot finish at once reports "would block"
// (10035) and completes with a connect notification; one refused at once is also
// reported through the connect notification, as an asynchronous socket library does.
int sock_connect(int fd, std::uint32_t address, std::uint16_t port);
int sock_connect(int fd, const NetAddress& to);
int sock_bind(int fd, std::uint32_t address, std::uint16_t port);
int sock_bind(int fd, const NetAddress& at);
int sock_listen(int fd, int backlog);
// Accepts one pending connection; the new socket is non-blocking. Re-enables the
// accept notification of the listener.
int sock_accept(int fd, std::uint32_t* address, std::uint16_t* port);
int sock_accept(int fd, NetAddress* peer);
// Receives up to length bytes; returns the count (0 at end of stream) or -1.
// Re-enables the read notification.
long sock_recv(int fd, void* buffer, std::size_t length);
// Sends up to length bytes; returns the count taken or -1. A send that would block
// arms the write notification for when space comes free.
long sock_send(int fd, const void* buffer, std::size_t length);
// Sends up to length bytes of the file file_fd, from offset on, straight from the file to
// the socket (sendfile): the bytes do not pass through the process. Returns the count taken
// (0 when the file ends before offset) or -1, as sock_send does, arming the write
// notification when it would block; SendFileUnsupported when the file cannot be sent this
// way (the caller reads and sends it instead).
constexpr long SendFileUnsupported = -2;
long sock_send_file(int fd, int file_fd, std::int64_t offset, std::size_t length);
// Forgets the socket's registration and closes it.
int sock_close(int fd);
int sock_set_linger(int fd, bool on, int seconds);
int sock_local_name(int fd, std::uint32_t* address, std::uint16_t* port); // 0 for IPv6
int sock_peer_name(int fd, std::uint32_t* address, std::uint16_t* port);
int sock_local_name(int fd, NetAddress* name);
int sock_peer_name(int fd, NetAddress* name);
// Whether closing the socket resets the connection (SO_LINGER on with time 0).
bool sock_resets_on_close(int fd);
// Number of bytes waiting to be received, or -1.
long sock_pending(int fd);

// Registers the socket for notifications of the events in mask, delivered to target
// as messages with the given code. Registering again replaces the old set; mask 0
// withdraws it. Re-enabling follows the rules of an asynchronous socket library:
// read again only after a receive, write once after a connect and again only after a
// send would have blocked, connect once, accept again after an accept, close once.
void async_select(int fd, TargetId target, std::uint32_t code, std::uint32_t mask);

// --- Errors -------------------------------------------------------------------------
// Table numbers of the socket errors the layers above test for by name.
namespace err {
constexpr int Access = 10013;
constexpr int Invalid = 10022;
constexpr int TooManyFiles = 10024;
constexpr int WouldBlock = 10035; // also a connect in progress
constexpr int AddressInUse = 10048;
constexpr int AddressNotAvailable = 10049;
constexpr int NetworkDown = 10050;
constexpr int NetworkUnreachable = 10051;
constexpr int ConnectionAborted = 10053;
constexpr int ConnectionReset = 10054;
constexpr int NoBuffers = 10055;
constexpr int AlreadyConnected = 10056;
constexpr int NotConnected = 10057;
constexpr int Shutdown = 10058;
constexpr int TimedOut = 10060;
constexpr int ConnectionRefused = 10061;
constexpr int HostUnreachable = 10065;
// Mapped for completeness; the layers above only show their texts.
constexpr int Interrupted = 10004;
constexpr int BadDescriptor = 10009;
constexpr int Fault = 10014;
constexpr int AlreadyInProgress = 10037;
constexpr int NotSocket = 10038;
constexpr int DestinationRequired = 10039;
constexpr int MessageTooLong = 10040;
constexpr int WrongProtocolType = 10041;
constexpr int NoProtocolOption = 10042;
constexpr int ProtocolNotSupported = 10043;
constexpr int SocketTypeNotSupported = 10044;
constexpr int OperationNotSupported = 10045;
constexpr int ProtocolFamilyNotSupported = 10046;
constexpr int AddressFamilyNotSupported = 10047;
constexpr int NetworkReset = 10052;
constexpr int HostDown = 10064;
// Host lookup.
constexpr int HostNotFound = 11001;
constexpr int TryAgain = 11002;
} // namespace err

// Last socket error of the calling thread as a table number (10061 for a refused
// connect, ...).
int last_error();
void set_last_error(int code);
// Maps a POSIX errno value to its table number.
int map_errno(int err);

// --- Timers ---------------------------------------------------------------------------
// Starts (or restarts) timer id of the target with the interval in milliseconds; a
// tick arrives as MsgTimer with the id as event word. Returns false when it cannot.
bool set_timer(TargetId target, std::uint32_t id, std::uint32_t interval_ms);
void kill_timer(TargetId target, std::uint32_t id);

// --- Host lookup ----------------------------------------------------------------------
// Resolves name off the thread into its IPv6 and IPv4 addresses; the result arrives in the
// queue of the calling thread as a message with the given code: high half of the word 0,
// low half the number of addresses, addresses all of them in the order the system
// prefers (RFC 6724), payload the first IPv4 one (4 bytes, network order; empty when
// there is none); or high half an error (11001 name not found, 11002 temporary).
void lookup_host(TargetId target, std::uint32_t code, const std::string& name);

// A resolver replaces the real lookup for every thread (tests: a resolver that never
// answers, or one that names addresses of both families). It is called on the thread that
// asks and must call done once, from any thread, or never.
using AddressResolver = std::function<void(
    const std::string& name, std::function<void(int error, std::vector<NetAddress>)> done)>;
void set_address_resolver(AddressResolver resolver); // empty restores the real lookup
// The same for a stand-in that answers with one IPv4 address.
using Resolver = std::function<void(const std::string& name,
                                    std::function<void(int error, std::uint32_t address)> done)>;
void set_resolver(Resolver resolver); // empty restores the real lookup

// --- The pump ---------------------------------------------------------------------------
void process_messages();
// The wait step of every wait loop: blocks for at most 2 ms until a socket is ready, a
// message is posted or a timer is due, then runs process_messages().
void wait_step();

// Runs wait_step() until done() is true; done is tested before each step.
template <typename Done> void wait_until(Done done) {
    while (!done())
        wait_step();
}

// Called at the end of each process_messages() of the calling thread (the window lets
// its toolkit run).
void set_ui_hook(std::function<void()> hook);

// One descriptor of the calling thread that becomes readable whenever its
// process_messages() has work: socket readiness, a posted message (from any thread), a
// finished lookup or a due timer. An idle GUI watches it.
int wake_fd();

} // namespace kestrel::platform
