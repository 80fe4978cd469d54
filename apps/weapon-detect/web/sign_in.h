// Who a request of the page comes from, and the sign-in that says so: the login page
// (GET /login), the form it posts (POST /login), sessions in a cookie, and POST /logout.
//
// A request is signed in by the token ("Authorization: Bearer <token>" or "?token=", for
// scripts; an admin), or by the cookie of a session opened on the login page with a user's
// password from the site config (http.users), or with the token when no user is configured
// (then as "admin"). Without a token and users nothing is asked for (everybody is an admin).
//
// Threads: every call may come from any of the server's threads at once. A password is
// verified on the calling thread (a server worker, never the loop or a camera), one at a time
// in the whole program (argon2 takes tens of megabytes and a good fraction of a second): a
// few more wait up to kVerifyWait for their turn, others are answered 503 at once. Failed
// sign-ins lock an address out (LoginLimiter), answered 429 without a verification.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "web/metrics_text.h"
#include "web/sessions.h"
#include "web/web_user.h"

namespace httplib {
struct Request;
struct Response;
}  // namespace httplib

namespace weapon_detect {

struct SignInSettings {
    std::string token;  // empty: none
    std::vector<WebUser> users;
    std::chrono::seconds lifetime{12 * 3600};  // of a session, from its sign-in
    bool secureCookie = false;                 // the page is served over TLS
};

struct Principal {
    enum class Via { Open, Token, Session };
    std::string name;  // the user's ("admin" for a session opened with the token; empty otherwise)
    std::string role;  // "viewer" or "admin"
    Via via = Via::Open;
    bool admin() const { return role == "admin"; }
};

class SignIn {
public:
    static constexpr const char* kCookie = "weapon_detect_session";
    static constexpr std::chrono::seconds kVerifyWait{5};
    static constexpr int kMostWaiting = 2;

    explicit SignIn(SignInSettings settings);

    // True when a request must be signed in (a token or users are configured).
    bool required() const { return !settings_.token.empty() || !settings_.users.empty(); }
    // Who sent the request; nobody when it carries a wrong token, or neither a token nor a
    // live session (and one is required).
    std::optional<Principal> Who(const httplib::Request& req);

    // GET /login: the form (or, once signed in or when nothing is asked for, a way to "/").
    void LoginPage(const httplib::Request& req, httplib::Response& res);
    // POST /login: opens a session and sends the browser to "/", or says why not (401, 429, 503).
    void Login(const httplib::Request& req, httplib::Response& res);
    // POST /logout: ends the request's session and sends the browser to the login page.
    void Logout(const httplib::Request& req, httplib::Response& res);

    // weapon_detect_login_failures_total and weapon_detect_sessions.
    void Metrics(MetricsText& m);

private:
    std::optional<Principal> Verify(const std::string& name, const std::string& password);
    void Form(httplib::Response& res, int status, const std::string& message, const std::string& name);

    const SignInSettings settings_;
    SessionTable sessions_;
    LoginLimiter limiter_;
    std::timed_mutex verifying_;
    std::atomic<int> waiting_{0};
    std::atomic<long long> failures_{0};
};

// The value of the cookie `name` among the request's Cookie fields; empty when it has none.
std::string CookieValue(const httplib::Request& req, const std::string& name);

}  // namespace weapon_detect
