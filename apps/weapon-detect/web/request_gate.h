// The page's front door: its own listening socket, accept loop and reading of request heads,
// in front of the HTTP library's request handling, so that no client can hold the server, its
// memory or its stop.
//
// Bounds (GateLimits), the same for every client:
//   connections  at most `connections` open at once. A new one beyond that closes the
//                connection that has waited longest for its next request (an idle keep-alive
//                one or one whose head is unfinished); when every open connection holds a whole
//                request, the new one is answered 503 and closed.
//   head         a request's line and header fields, final blank line included, fit in
//                `headBytes`, with at most `headerFields` fields. Beyond that the client gets
//                431 (414 when the request line alone is too long) and the connection is
//                closed: nothing more is read, and the handler never sees the request.
//   body         none: a head with Transfer-Encoding or a Content-Length other than 0 gets 413
//                and the connection is closed, before any of the body is read; the handler's
//                reads end with the head (they return 0 after it), so a request of any method
//                without a body (a POST acknowledging an event) passes whole. The one exception
//                is the sign-in form: POST /login with an application/x-www-form-urlencoded
//                body of at most 4 KiB announced by its Content-Length, read with the head
//                (within `requestTime`) and handed on with it.
//   ranges       a Range field lists at most 8 ranges; beyond that 416 and the connection closed.
//   time         a whole head arrives within `requestTime` of the connection's opening or of
//                the previous answer on it (an idle connection is closed then too); a head
//                that waited longer than `requestTime` for a worker gets 503 and the connection
//                is closed; a write that makes no progress for `writeStall` fails, and so do
//                the answer's writes once it took `writeStall` plus its bytes at `minRate`
//                (bytes a second), or `answerTime` at most.
//   requests     a connection carries at most `requestsPerConnection` requests; the handler is
//                told which is the last (its answer says the connection closes).
//   streams      a request whose target `isStream` names (event streams, live video) is a
//                long-lived answer: it runs on a thread of its own rather than a worker, as the
//                connection's last request, with no whole-answer deadline (answerTime, minRate)
//                but each write still cut after `writeStall` without progress, so a client that
//                stops reading is dropped (a stream's socket buffers 256 KiB, so that it is
//                soon). At most `streams` at once, counted apart from
//                `connections`; beyond that 503 with a JSON error, from the loop. On a stream's
//                thread InStream() is true, and the stream's is_writable() turns false once the
//                gate stops or the client closed its side: a stream handler waits for its data
//                in slices of at most a few hundred milliseconds and looks at is_writable()
//                between them.
// TLS (when given certificates): the loop does each connection's handshake, non-blocking, within
// `requestTime` of its opening like a head (a client that never finishes one is closed then), and
// reads heads through the session; answers and streams write through it under the same stall and
// answer bounds. A plain HTTP request on a TLS port fails the handshake and is closed at once. A
// connection beyond `connections` is closed without the 503 (no session to say it in). The
// process must ignore SIGPIPE (OpenSSL writes to the socket without MSG_NOSIGNAL).
// Requests sent back to back on one connection (pipelined) are handled one after the other,
// in order. A head's lines may end in a bare LF; the handler gets them ending in CRLF.
//
// Threads: one loop thread accepts and reads every connection waiting for a request (poll,
// non-blocking sockets); `workers` threads run the handler, each on one connection whose
// head is whole. The handler gets an httplib::Stream that reads the buffered head (and the
// sign-in form's body) and nothing more, and writes to the socket; it returns true when the
// connection may carry another request. Handlers run concurrently and must not throw (an exception closes the
// connection).
//
// Stop() (and the destructor) closes every connection rather than awaiting it: waiting ones
// are closed, those at a worker or a stream are shut down so that their reads and writes fail
// at once. It returns once the threads ended, that is as soon as the running handlers return
// (a stream's within its wait slice).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

struct addrinfo;

namespace httplib {
class Stream;
}

namespace weapon_detect {

class TlsCertificates;

// A listening socket on the first of `addresses` (a getaddrinfo list) that takes one. An
// address already in use ends the search, so that a name with several addresses (localhost:
// ::1 and 127.0.0.1) is never shared with another program. Throws std::runtime_error naming
// `where` and the reason.
int Listen(const addrinfo* addresses, const std::string& where);

struct GateLimits {
    size_t connections = 64;
    size_t headBytes = 8192;
    size_t headerFields = 100;
    std::chrono::milliseconds requestTime{5000};
    std::chrono::milliseconds writeStall{5000};
    size_t minRate = 32 * 1024;
    std::chrono::milliseconds answerTime{60000};
    size_t requestsPerConnection = 100;
    size_t workers = 8;
    size_t streams = 48;
};

class RequestGate {
public:
    // The stream holds one request at its start; `last`: the connection closes after it.
    using Handler = std::function<bool(httplib::Stream& stream, bool last)>;
    // True when the request with this target (the request line's second word, as sent) is
    // answered by a stream. Called on the loop thread: quick, and it must not throw.
    using IsStream = std::function<bool(const std::string& target)>;

    // Binds `host`:`port` (a port of 0 takes a free one) and starts serving. The address is
    // never shared with another listening socket. Throws std::runtime_error naming the address
    // and the reason ("address already in use") when it cannot listen.
    // With `tls`, every connection is TLS (tls_context.h), from the certificate current when it
    // opened.
    RequestGate(const std::string& host, int port, GateLimits limits, Handler handler, IsStream isStream = nullptr,
                std::shared_ptr<TlsCertificates> tls = nullptr);
    ~RequestGate();
    RequestGate(const RequestGate&) = delete;
    RequestGate& operator=(const RequestGate&) = delete;

    int port() const { return port_; }
    void Stop();
    // Streams being answered now.
    size_t streams() const;
    // True on the thread of a stream (see above), for the handler.
    static bool InStream();

private:
    struct Connection;
    using Owned = std::unique_ptr<Connection>;

    void Loop();
    void Work();
    void Wake();
    // Looks at what a waiting connection has buffered: hands a whole head to the workers,
    // refuses a head over the bounds. False when the connection left `waiting`.
    bool Examine(Owned& connection, std::vector<Owned>& closing);
    // Gives a new connection its TLS session when the gate serves TLS; false when it cannot.
    bool StartTls(Connection& connection);
    // Starts the stream's thread; false (the connection left as it was) when it cannot.
    bool StartStream(Owned& connection);
    void Stream(long long id);
    // Collects the threads of streams that ended.
    void JoinEndedStreams();
    size_t OpenElsewhere();

    const GateLimits limits_;
    const Handler handler_;
    const IsStream isStream_;
    const std::shared_ptr<TlsCertificates> tls_;  // null: plain HTTP
    int listener_ = -1;
    int wake_ = -1;  // eventfd: wakes the loop for returned connections and the stop
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable readyChanged_;
    bool stopping_ = false;
    std::deque<Owned> ready_;      // whole heads waiting for a worker
    std::set<int> busy_;           // sockets a worker is handling
    std::vector<Owned> returned_;  // handed back by the workers, for the loop to wait on
    struct StreamSlot {
        int fd = -1;
        Owned connection;  // until its thread takes it
        std::thread thread;
    };
    std::map<long long, StreamSlot> streams_;  // being answered, by a number of their own
    std::vector<std::thread> streamsEnded_;    // to be joined
    long long nextStream_ = 0;
    std::atomic<bool> stopped_{false};  // read by the streams' is_writable()

    std::thread loop_;
    std::vector<std::thread> workers_;
};

}  // namespace weapon_detect
