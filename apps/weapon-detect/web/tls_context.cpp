#include "web/tls_context.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace weapon_detect {
namespace {

// OpenSSL's queued errors, oldest first, as one line; the queue is left empty.
std::string OpenSslReason() {
    std::string reason;
    while (const unsigned long e = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(e, text, sizeof text);
        if (!reason.empty()) reason += "; ";
        reason += text;
    }
    return reason.empty() ? "unknown OpenSSL error" : reason;
}

[[noreturn]] void Refuse(const char* what, const std::string& file, const std::string& reason) {
    ERR_clear_error();
    throw std::runtime_error(std::string("the TLS ") + what + " " + file + ": " + reason);
}

// The system's reason first: OpenSSL's own words for a missing file are less plain.
void CheckReadable(const char* what, const std::string& file) {
    std::FILE* f = std::fopen(file.c_str(), "rb");
    if (!f) Refuse(what, file, std::strerror(errno));
    std::fclose(f);
}

}  // namespace

TlsContext::TlsContext(const std::string& certFile, const std::string& keyFile) {
    CheckReadable("certificate", certFile);
    CheckReadable("key", keyFile);
    ERR_clear_error();
    ctx_ = SSL_CTX_new(TLS_server_method());
    if (!ctx_) Refuse("certificate", certFile, OpenSslReason());
    try {
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        // Writes may be retried with the rest of the buffer elsewhere, and partly done.
        SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_set_options(ctx_, SSL_OP_NO_RENEGOTIATION);
        if (SSL_CTX_use_certificate_chain_file(ctx_, certFile.c_str()) != 1) {
            Refuse("certificate", certFile, OpenSslReason());
        }
        if (SSL_CTX_use_PrivateKey_file(ctx_, keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            // Loading the key checks it against the certificate already.
            const bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
            Refuse("key", keyFile,
                   mismatch ? "does not belong to the certificate " + certFile + " (" + OpenSslReason() + ")"
                            : OpenSslReason());
        }
        if (SSL_CTX_check_private_key(ctx_) != 1) {
            Refuse("key", keyFile, "does not belong to the certificate " + certFile + " (" + OpenSslReason() + ")");
        }
        if (X509* cert = SSL_CTX_get0_certificate(ctx_)) {
            std::tm end{};
            if (ASN1_TIME_to_tm(X509_get0_notAfter(cert), &end) == 1) notAfter_ = timegm(&end);
        }
    } catch (...) {
        SSL_CTX_free(ctx_);
        throw;
    }
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

TlsCertificates::TlsCertificates(std::string certFile, std::string keyFile)
    : certFile_(std::move(certFile)),
      keyFile_(std::move(keyFile)),
      current_(std::make_shared<const TlsContext>(certFile_, keyFile_)) {}

std::shared_ptr<const TlsContext> TlsCertificates::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void TlsCertificates::Reload() {
    std::shared_ptr<const TlsContext> loaded;
    try {
        loaded = std::make_shared<const TlsContext>(certFile_, keyFile_);
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++failed_;
        throw;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    current_.swap(loaded);
    ++ok_;
    // The old context ends with its last connection (or here, outside the lock, when none).
}

long long TlsCertificates::reloadsOk() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ok_;
}

long long TlsCertificates::reloadsFailed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return failed_;
}

TlsSession::TlsSession(std::shared_ptr<const TlsContext> context, int fd) : context_(std::move(context)) {
    ssl_ = SSL_new(context_->get());
    if (!ssl_ || SSL_set_fd(ssl_, fd) != 1) {
        SSL_free(ssl_);
        throw std::runtime_error("cannot start a TLS session: " + OpenSslReason());
    }
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

TlsSession::Want TlsSession::Failure(int result) {
    const int error = SSL_get_error(ssl_, result);
    // Errors of this connection only: the thread's queue must not carry them to the next.
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ) return Want::Read;
    if (error == SSL_ERROR_WANT_WRITE) return Want::Write;
    return Want::Failed;
}

TlsSession::Want TlsSession::Handshake() {
    if (established_) return Want::Nothing;
    const int result = SSL_accept(ssl_);
    if (result == 1) {
        established_ = true;
        return Want::Nothing;
    }
    const Want want = Failure(result);
    // A clean end of the peer during the handshake is a failure too.
    return result == 0 ? Want::Failed : want;
}

ssize_t TlsSession::Read(char* data, size_t size, Want& want) {
    want = Want::Nothing;
    size_t read = 0;
    if (SSL_read_ex(ssl_, data, size, &read) == 1) return static_cast<ssize_t>(read);
    const int error = SSL_get_error(ssl_, 0);
    if (error == SSL_ERROR_ZERO_RETURN) {
        ERR_clear_error();
        return 0;
    }
    want = Failure(0);
    return -1;
}

ssize_t TlsSession::Write(const char* data, size_t size, Want& want) {
    want = Want::Nothing;
    size_t written = 0;
    if (SSL_write_ex(ssl_, data, size, &written) == 1) return static_cast<ssize_t>(written);
    want = Failure(0);
    return -1;
}

bool TlsSession::pending() const { return SSL_pending(ssl_) > 0; }

void TlsSession::Close() {
    if (established_) SSL_shutdown(ssl_);
    ERR_clear_error();
}

}  // namespace weapon_detect
