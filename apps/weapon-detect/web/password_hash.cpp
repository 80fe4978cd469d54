#include "web/password_hash.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <stdexcept>

#include <sodium.h>

namespace weapon_detect {
namespace {

constexpr unsigned long long kMaxMemoryKiB = 1ull << 20;  // 1 GiB
constexpr unsigned long long kMaxPasses = 16;
constexpr size_t kMaxPasswordBytes = 1024;

void StartSodium() {
    if (sodium_init() < 0) throw std::runtime_error("libsodium cannot start");
}

// Wipes the text's bytes when it goes.
struct Secret {
    std::string text;
    ~Secret() {
        if (!text.empty()) sodium_memzero(text.data(), text.size());
    }
};

// One line from `in`, without its line end; false at once at the end of the input, or when the
// line is longer than kMaxPasswordBytes (`tooLong` set).
bool ReadLine(int in, Secret& line, bool& tooLong) {
    tooLong = false;
    bool any = false;
    for (char c;;) {
        const ssize_t n = read(in, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        any = true;
        if (c == '\n') break;
        if (line.text.size() >= kMaxPasswordBytes) {
            tooLong = true;
            continue;
        }
        line.text += c;
    }
    if (!line.text.empty() && line.text.back() == '\r') line.text.pop_back();
    return any && !tooLong;
}

// Asks for a line on a terminal with its echo off, restored afterwards.
bool AskQuietly(int in, std::FILE* messages, const char* prompt, Secret& line, bool& tooLong) {
    termios before{};
    const bool terminal = tcgetattr(in, &before) == 0;
    if (terminal) {
        std::fputs(prompt, messages);
        std::fflush(messages);
        termios quiet = before;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(in, TCSAFLUSH, &quiet);
    }
    const bool read = ReadLine(in, line, tooLong);
    if (terminal) tcsetattr(in, TCSAFLUSH, &before);
    return read;
}

}  // namespace

std::string HashPassword(const std::string& password) {
    StartSodium();
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str_alg(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                              crypto_pwhash_MEMLIMIT_INTERACTIVE, crypto_pwhash_ALG_ARGON2ID13) != 0) {
        throw std::runtime_error("cannot hash the password: out of memory");
    }
    return hash;
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
    StartSodium();
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

void CheckPasswordHash(const std::string& hash) {
    static const std::regex form(
        R"(\$argon2id\$v=19\$m=(\d{1,10}),t=(\d{1,10}),p=(\d{1,3})\$[A-Za-z0-9+/]{11,}\$[A-Za-z0-9+/]{16,})");
    std::smatch m;
    if (hash.size() >= crypto_pwhash_STRBYTES || !std::regex_match(hash, m, form)) {
        throw std::invalid_argument("is not a libsodium argon2id hash (make one with weapon-detect --hash-password)");
    }
    if (std::stoull(m[1]) > kMaxMemoryKiB) throw std::invalid_argument("asks for more than 1 GiB of memory (m=)");
    if (std::stoull(m[2]) > kMaxPasses) throw std::invalid_argument("asks for more than 16 passes (t=)");
    StartSodium();
    if (crypto_pwhash_argon2id_str_needs_rehash(hash.c_str(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                                crypto_pwhash_MEMLIMIT_INTERACTIVE) < 0) {
        throw std::invalid_argument("is not a libsodium argon2id hash (make one with weapon-detect --hash-password)");
    }
}

int HashPasswordCommand(int in, std::FILE* out, std::FILE* messages) {
    const bool terminal = isatty(in) == 1;
    Secret password, again;
    bool tooLong = false;
    if (!AskQuietly(in, messages, "Password: ", password, tooLong) || password.text.empty()) {
        std::fprintf(messages, "weapon-detect: --hash-password: %s\n",
                     tooLong ? "the password is longer than 1024 bytes" : "no password given on standard input");
        return 2;
    }
    if (terminal && (!AskQuietly(in, messages, "Again: ", again, tooLong) || again.text != password.text)) {
        std::fprintf(messages, "weapon-detect: --hash-password: the two passwords differ\n");
        return 2;
    }
    std::string hash;
    try {
        hash = HashPassword(password.text);
    } catch (const std::exception& e) {
        std::fprintf(messages, "weapon-detect: --hash-password: %s\n", e.what());
        return 1;
    }
    if (std::fprintf(out, "%s\n", hash.c_str()) < 0 || std::fflush(out) != 0) {
        std::fprintf(messages, "weapon-detect: --hash-password: cannot write the hash: %s\n", std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace weapon_detect
