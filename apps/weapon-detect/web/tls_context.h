// TLS for the page's server (RequestGate): the server's certificate and key, loaded into an
// OpenSSL context, and each connection's TLS session on a non-blocking socket.
//
// TlsContext   one certificate and key, checked at load (readable, a certificate and a key
//              that belong together); TLS 1.2 at least, OpenSSL's default ciphers. Immutable
//              once made, shared by the connections made from it.
// TlsCertificates  the context new connections get, swapped by Reload() (SIGHUP): existing
//              connections keep the context they started with (each holds a reference).
//              Any thread.
// TlsSession   one connection's TLS state over a socket it does not own. Used by one thread
//              at a time (the gate hands a connection from thread to thread under its lock);
//              every call returns at once, saying what it waits for when it cannot go on.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace weapon_detect {

class TlsContext {
public:
    // Throws std::runtime_error naming the file that failed and OpenSSL's reason.
    TlsContext(const std::string& certFile, const std::string& keyFile);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    SSL_CTX* get() const { return ctx_; }
    // The certificate's end of validity, in seconds since the epoch.
    long long notAfter() const { return notAfter_; }

private:
    SSL_CTX* ctx_ = nullptr;
    long long notAfter_ = 0;
};

class TlsCertificates {
public:
    // Loads the pair; throws as TlsContext does.
    TlsCertificates(std::string certFile, std::string keyFile);

    std::shared_ptr<const TlsContext> current() const;
    // Loads the files again for the connections to come. On failure the current context stays
    // and the error (file and reason) is thrown as std::runtime_error.
    void Reload();

    long long reloadsOk() const;
    long long reloadsFailed() const;

private:
    const std::string certFile_, keyFile_;
    mutable std::mutex mutex_;
    std::shared_ptr<const TlsContext> current_;
    long long ok_ = 0, failed_ = 0;
};

class TlsSession {
public:
    // What a call that could not finish waits for on the socket.
    enum class Want { Nothing, Read, Write, Failed };

    // Throws std::runtime_error when OpenSSL cannot make the session (out of memory).
    TlsSession(std::shared_ptr<const TlsContext> context, int fd);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Advances the server's handshake; Want::Nothing once it is done.
    Want Handshake();
    bool established() const { return established_; }
    // Like recv/send: bytes moved (> 0), 0 for the peer's end (reads only), or -1 with `want`
    // saying what to wait for (Read/Write) or that the connection failed (Failed).
    ssize_t Read(char* data, size_t size, Want& want);
    ssize_t Write(const char* data, size_t size, Want& want);
    // Decrypted bytes waiting in the session: a read gets them without the socket being ready.
    bool pending() const;
    // Sends the close alert if it can at once (never waits).
    void Close();

private:
    Want Failure(int result);

    std::shared_ptr<const TlsContext> context_;
    SSL* ssl_ = nullptr;
    bool established_ = false;
};

}  // namespace weapon_detect
