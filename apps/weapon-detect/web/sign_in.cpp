#include "web/sign_in.h"

#include <httplib.h>

#include "web/login_page.h"
#include "web/password_hash.h"

namespace weapon_detect {
namespace {

using Clock = std::chrono::steady_clock;

// Compares without leaking, through the time taken, how much of the token matched.
bool SameToken(const std::string& given, const std::string& token) {
    unsigned char differ = given.size() != token.size();
    for (size_t i = 0; i < token.size(); ++i) {
        differ |= static_cast<unsigned char>(token[i] ^ (i < given.size() ? given[i] : 0));
    }
    return differ == 0;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

void Replace(std::string& text, const std::string& marker, const std::string& with) {
    const size_t at = text.find(marker);
    if (at != std::string::npos) text.replace(at, marker.size(), with);
}

void SeeOther(httplib::Response& res, const std::string& where) {
    res.status = 303;
    res.set_header("Location", where);
    res.set_header("Cache-Control", "no-store");
}

}  // namespace

std::string CookieValue(const httplib::Request& req, const std::string& name) {
    const size_t fields = req.get_header_value_count("Cookie");
    for (size_t i = 0; i < fields; ++i) {
        const std::string line = req.get_header_value("Cookie", i);
        size_t start = 0;
        while (start < line.size()) {
            size_t end = line.find(';', start);
            if (end == std::string::npos) end = line.size();
            const size_t first = line.find_first_not_of(' ', start);
            if (first < end && line.compare(first, name.size() + 1, name + "=") == 0) {
                return line.substr(first + name.size() + 1, end - first - name.size() - 1);
            }
            start = end + 1;
        }
    }
    return {};
}

SignIn::SignIn(SignInSettings settings) : settings_(std::move(settings)) {}

std::optional<Principal> SignIn::Who(const httplib::Request& req) {
    if (!required()) return Principal{"", "admin", Principal::Via::Open};
    const std::string authorization = req.get_header_value("Authorization");
    const bool bearer = authorization.rfind("Bearer ", 0) == 0;
    if (bearer || req.has_param("token")) {
        const std::string given = bearer ? authorization.substr(7) : req.get_param_value("token");
        if (!settings_.token.empty() && SameToken(given, settings_.token)) {
            return Principal{"", "admin", Principal::Via::Token};
        }
        return std::nullopt;
    }
    const std::string id = CookieValue(req, kCookie);
    if (id.empty()) return std::nullopt;
    const auto session = sessions_.Find(id, Clock::now());
    if (!session) return std::nullopt;
    return Principal{session->user, session->role, Principal::Via::Session};
}

void SignIn::Form(httplib::Response& res, int status, const std::string& message, const std::string& name) {
    std::string page = kLoginHtml;
    std::string fields;
    if (!settings_.users.empty()) {
        fields =
            "<label>Name <input name=\"name\" autocomplete=\"username\" maxlength=\"64\" required autofocus value=\"" +
            Escape(name) +
            "\"></label>\n<label>Password <input name=\"password\" type=\"password\" "
            "autocomplete=\"current-password\" maxlength=\"1024\" required></label>";
    } else {
        fields =
            "<label>Token <input name=\"token\" type=\"password\" autocomplete=\"current-password\" "
            "maxlength=\"1024\" required autofocus></label>";
    }
    Replace(page, "<!--fields-->", fields);
    Replace(page, "<!--message-->",
            message.empty() ? "" : "<p id=\"message\" role=\"alert\">" + Escape(message) + "</p>");
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'; frame-ancestors 'none'");
    res.set_content(page, "text/html; charset=utf-8");
}

void SignIn::LoginPage(const httplib::Request& req, httplib::Response& res) {
    const auto who = Who(req);
    if (!required() || (who && who->via == Principal::Via::Session)) return SeeOther(res, "/");
    Form(res, 200, "", "");
}

std::optional<Principal> SignIn::Verify(const std::string& name, const std::string& password) {
    if (settings_.users.empty()) {
        if (SameToken(password, settings_.token)) return Principal{"admin", "admin", Principal::Via::Session};
        return std::nullopt;
    }
    const WebUser* user = nullptr;
    for (const WebUser& u : settings_.users) {
        if (u.name == name) user = &u;
    }
    // An unknown name costs a verification too, so that the time taken does not tell names apart.
    const bool right = VerifyPassword(user ? user->hash : settings_.users.front().hash, password);
    if (!user || !right) return std::nullopt;
    return Principal{user->name, user->role, Principal::Via::Session};
}

void SignIn::Login(const httplib::Request& req, httplib::Response& res) {
    if (!required()) return SeeOther(res, "/");
    httplib::Params form;
    if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) == 0) {
        httplib::detail::parse_query_text(req.body, form);
    }
    auto field = [&form](const char* key) {
        const auto found = form.find(key);
        return found == form.end() ? std::string() : found->second;
    };
    const std::string name = field("name");
    const std::string secret = settings_.users.empty() ? field("token") : field("password");
    const std::string address = req.remote_addr;

    const std::chrono::seconds wait = limiter_.Wait(address, Clock::now());
    if (wait.count() > 0) {
        res.set_header("Retry-After", std::to_string(wait.count()));
        return Form(res, 429,
                    "Too many failed attempts from your address: try again in " + std::to_string(wait.count()) + " s.",
                    name);
    }
    if (secret.empty()) return Form(res, 401, "Wrong name or password.", name);

    std::optional<Principal> who;
    {
        // One verification at a time; a few wait for their turn, the rest are told to come back.
        if (waiting_.fetch_add(1) >= kMostWaiting + 1) {
            waiting_.fetch_sub(1);
            res.set_header("Retry-After", "2");
            return Form(res, 503, "Busy signing others in: try again in a moment.", name);
        }
        std::unique_lock<std::timed_mutex> turn(verifying_, kVerifyWait);
        if (!turn.owns_lock()) {
            waiting_.fetch_sub(1);
            res.set_header("Retry-After", "2");
            return Form(res, 503, "Busy signing others in: try again in a moment.", name);
        }
        try {
            who = Verify(name, secret);
        } catch (...) {
            waiting_.fetch_sub(1);
            throw;
        }
        waiting_.fetch_sub(1);
    }
    if (!who) {
        limiter_.Failed(address, Clock::now());
        ++failures_;
        return Form(res, 401, "Wrong name or password.", name);
    }
    limiter_.Succeeded(address);
    const std::string id = sessions_.Open(who->name, who->role, settings_.lifetime, Clock::now());
    res.set_header("Set-Cookie", std::string(kCookie) + "=" + id +
                                     "; Path=/; Max-Age=" + std::to_string(settings_.lifetime.count()) +
                                     "; HttpOnly; SameSite=Strict" + (settings_.secureCookie ? "; Secure" : ""));
    SeeOther(res, "/");
}

void SignIn::Logout(const httplib::Request& req, httplib::Response& res) {
    const std::string id = CookieValue(req, kCookie);
    if (!id.empty()) sessions_.Close(id);
    res.set_header("Set-Cookie", std::string(kCookie) + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                     (settings_.secureCookie ? "; Secure" : ""));
    SeeOther(res, required() ? "/login" : "/");
}

void SignIn::Metrics(MetricsText& m) {
    m.Family("weapon_detect_login_failures_total", "counter", "Sign-ins refused for a wrong name, password or token.");
    m.Sample("weapon_detect_login_failures_total", {}, static_cast<double>(failures_.load()));
    m.Family("weapon_detect_sessions", "gauge", "Sessions signed in on the login page and not yet ended or expired.");
    m.Sample("weapon_detect_sessions", {}, static_cast<double>(sessions_.Count(Clock::now())));
}

}  // namespace weapon_detect
