// The page's sign-in with the real program: users from a site config with hashes made by
// weapon-detect --hash-password, driven in headless chromium (tests/support/cdp_page.py) for
// the login form, the cookie's flags, the roles, Log out and the lock-out of an address that
// keeps failing; the token in URLs kept out of everything the program writes; bad users in the
// config refused naming file, line and key; over TLS, the token signing in on the login page
// with a Secure cookie.
#include <regex>

#include "page_driver.h"
#include "program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"
#include "support/test_certificates.h"

using namespace program_test;
using servers::CurlGet;
using servers::Process;
using servers::Within;

namespace {

constexpr const char* kToken = "tok-5f2c9a81e7d34b06";

std::string Url(int port, const std::string& path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

// The hash weapon-detect --hash-password prints for `password` given on standard input.
std::string HashOf(const fs::path& dir, const std::string& password) {
    const Outcome o = RunProgram("--hash-password", dir, "printf '%s\\n' '" + password + "' | ");
    EXPECT_EQ(o.status, 0) << o.err;
    std::string hash = o.out;
    if (!hash.empty() && hash.back() == '\n') hash.pop_back();
    EXPECT_TRUE(
        std::regex_match(hash, std::regex(R"(\$argon2id\$v=19\$m=\d+,t=\d+,p=\d+\$[A-Za-z0-9+/]+\$[A-Za-z0-9+/]+)")))
        << o.out;
    return hash;
}

}  // namespace

TEST_F(WeaponDetectTest, SignInOpensSessionsByRoleLocksOutGuessesAndNeverLogsTheToken) {
    const std::string adminHash = HashOf(dir, "ana long pass #1"), viewerHash = HashOf(dir, "bo-pass-2");
    WriteSmallVideo(dir / "clip.avi", 30);
    const int port = servers::FreePort();
    {
        std::ofstream site(dir / "site.yaml");
        site << "http:\n  address: 127.0.0.1:" << port << "\n  users:\n"
             << "    - {name: ana, password-hash: '" << adminHash << "', role: admin}\n"
             << "    - {name: bo, password-hash: '" << viewerHash << "', role: viewer}\n"
             << "keep-serving: true\ncameras:\n  - input: clip.avi\n    id: door\n";
    }
    const ScopedEnv token("WEAPON_DETECT_HTTP_TOKEN", kToken);
    const fs::path log = dir / "run.log";
    Process run(Program({"--config", (dir / "site.yaml").string(), "--module", STEADY_MODULE, "-o",
                         (dir / "out.jsonl").string(), "--snapshots", (dir / "snaps").string()}),
                log.string());
    ASSERT_TRUE(Within(std::chrono::seconds(120),
                       [&] { return ReadText(log).find("until stopped") != std::string::npos || !run.running(); }));
    ASSERT_TRUE(run.running()) << ReadText(log);
    const std::string body = (dir / "body.txt").string();
    ASSERT_TRUE(Within(std::chrono::seconds(30), [&] {
        const auto reply = CurlGet(Url(port, "/api/events?token=") + kToken, body);
        return reply.status == 200 && !nlohmann::json::parse(reply.body)["events"].empty();
    }));

    // Without a session or the token: the page sends the browser to sign in, the API says 401.
    EXPECT_EQ(CurlGet(Url(port, "/"), body).status, 303);
    const auto api = CurlGet(Url(port, "/api/cameras"), body);
    EXPECT_EQ(api.status, 401);
    EXPECT_TRUE(nlohmann::json::parse(api.body, nullptr, false).contains("error")) << api.body;
    EXPECT_EQ(CurlGet(Url(port, "/api/cameras"), body,
                      "-H 'Cookie: weapon_detect_session=" + std::string(64, 'a') + "'")
                  .status,
              401);
    // The cookie as sent: flags, lifetime, no Secure without TLS.
    const fs::path headers = dir / "headers.txt";
    const auto login =
        CurlGet(Url(port, "/login"), body,
                "-D '" + headers.string() + "' --data-urlencode name=bo --data-urlencode password=bo-pass-2");
    EXPECT_EQ(login.status, 303);
    std::smatch cookie;
    const std::string head = ReadText(headers);
    ASSERT_TRUE(
        std::regex_search(head, cookie, std::regex("Set-Cookie: weapon_detect_session=([0-9a-f]{64}); ([^\r\n]*)")))
        << head;
    EXPECT_EQ(cookie[2].str(), "Path=/; Max-Age=43200; HttpOnly; SameSite=Strict");
    EXPECT_EQ(
        CurlGet(Url(port, "/api/cameras"), body, "-H 'Cookie: weapon_detect_session=" + cookie[1].str() + "'").status,
        200);

    const nlohmann::json seen =
        DrivePage(dir, "signin", {Url(port, "/"), "--admin", "ana:ana long pass #1", "--viewer", "bo:bo-pass-2"});
    ASSERT_FALSE(seen.contains("error")) << seen.dump(2);
    EXPECT_EQ(seen["first"]["path"], "/login");
    EXPECT_EQ(seen["first"]["fields"], nlohmann::json({"name", "password"}));

    const auto& viewer = seen["viewer"];
    EXPECT_EQ(viewer["path"], "/");
    EXPECT_EQ(viewer["status"], 200);
    ASSERT_TRUE(viewer["cookie"].is_object()) << seen.dump(2);
    EXPECT_EQ(viewer["cookie"]["httpOnly"], true);
    EXPECT_EQ(viewer["cookie"]["secure"], false);
    EXPECT_EQ(viewer["cookie"]["sameSite"], "Strict");
    EXPECT_EQ(viewer["cookie"]["path"], "/");
    const double expires = viewer["cookie"]["expires"].get<double>() - static_cast<double>(std::time(nullptr));
    EXPECT_GT(expires, 11.5 * 3600) << "a cookie with an expiry, not one for the browser's session";
    EXPECT_LT(expires, 12.5 * 3600);
    EXPECT_EQ(viewer["who"], "bo (viewer)");
    EXPECT_EQ(viewer["ack_name_hidden"], true);
    EXPECT_EQ(viewer["cameras"], 200);
    EXPECT_EQ(viewer["metrics"], 403);
    EXPECT_EQ(viewer["config"], 403);
    EXPECT_EQ(viewer["acknowledged_by"], "bo") << "the session's user, not ?by=";

    const auto& logout = seen["logout"];
    EXPECT_EQ(logout["path"], "/login");
    EXPECT_TRUE(logout["cookie"].is_null()) << logout.dump();
    EXPECT_EQ(logout["cameras"], 401);
    EXPECT_EQ(logout["old_cookie_cameras"], 401) << "the session ended on the server too";
    EXPECT_EQ(logout["old_cookie_page"], "/login");

    const auto& admin = seen["admin"];
    EXPECT_EQ(admin["path"], "/");
    EXPECT_EQ(admin["metrics"], 200);
    EXPECT_EQ(admin["config"], 200);
    const std::string config = admin["config_text"];
    EXPECT_NE(config.find("\"name\":\"ana\",\"role\":\"admin\""), std::string::npos) << config;
    EXPECT_EQ(config.find("argon2"), std::string::npos) << "no hash in the config view";
    EXPECT_NE(admin["metrics_text"].get<std::string>().find("weapon_detect_sessions 2"), std::string::npos)
        << "curl's and the admin's";

    ASSERT_EQ(seen["wrong"].size(), 6u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(seen["wrong"][i]["status"], 401) << i;
        EXPECT_EQ(seen["wrong"][i]["path"], "/login") << i;
        EXPECT_NE(seen["wrong"][i]["text"].get<std::string>().find("Wrong name or password"), std::string::npos);
    }
    EXPECT_EQ(seen["wrong"][5]["status"], 429);
    EXPECT_NE(seen["wrong"][5]["text"].get<std::string>().find("try again in"), std::string::npos);
    EXPECT_EQ(seen["right_while_locked"]["status"], 429);
    // The same address, locked out still: how long to wait is said.
    const auto locked =
        CurlGet(Url(port, "/login"), body,
                "-D '" + headers.string() + "' --data-urlencode name=bo --data-urlencode password=bo-pass-2");
    EXPECT_EQ(locked.status, 429);
    std::smatch retry;
    const std::string lockedHead = ReadText(headers);
    ASSERT_TRUE(std::regex_search(lockedHead, retry, std::regex("Retry-After: (\\d+)"))) << lockedHead;
    EXPECT_GT(std::stoi(retry[1]), 0);
    EXPECT_LE(std::stoi(retry[1]), 15);
    EXPECT_EQ(seen["admin"]["who"], "ana (admin)");
    EXPECT_TRUE(seen["script_errors"].empty()) << seen["script_errors"].dump();

    // The token in URLs, on routes that answer, fail and refuse; then nothing the program
    // wrote holds it.
    const auto metrics = CurlGet(Url(port, "/metrics?token=") + kToken, body);
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.body.find("weapon_detect_login_failures_total 5"), std::string::npos) << metrics.body;
    for (const std::string path : {"/api/events/999999?token=", "/api/events?limit=x&token=", "/nowhere?token=",
                                   "/api/events/1/ack?by=%01&token=", "/login?token="}) {
        CurlGet(Url(port, path) + kToken, body);
    }
    CurlGet(Url(port, "/api/cameras?token=") + kToken + "&pad=" + std::string(9000, 'x'), body);
    CurlGet(Url(port, "/api/cameras"), body, std::string("-H 'Authorization: Bearer ") + kToken + "'");
    EXPECT_EQ(run.Stop(SIGTERM, std::chrono::seconds(20)), 0) << ReadText(log);
    const std::string written = ReadText(log) + ReadText(dir / "out.jsonl");
    EXPECT_EQ(written.find(kToken), std::string::npos) << written;
    EXPECT_EQ(written.find("ana long pass #1"), std::string::npos);
}

TEST_F(WeaponDetectTest, HashPasswordTakesOneLineAndBadUsersAreRefusedWithFileLineAndKey) {
    EXPECT_EQ(RunProgram("--hash-password", dir, "printf '' | ").status, 2);
    const Outcome empty = RunProgram("--hash-password", dir, "printf '\\n' | ");
    EXPECT_EQ(empty.status, 2);
    EXPECT_NE(empty.err.find("no password"), std::string::npos) << empty.err;
    const std::string hash = HashOf(dir, "pw");
    EXPECT_NE(HashOf(dir, "pw"), hash) << "salted";

    WriteSmallVideo(dir / "clip.avi", 2);
    const std::string head = "http:\n  address: 127.0.0.1:1\n  users:\n";
    const struct {
        std::string users;
        std::string message;
    } cases[] = {
        {"    - {name: ana, password-hash: 'hunter2', role: admin}\n",
         ":4: http.users[0].password-hash: is not a libsodium argon2id hash"},
        {"    - {name: ana, password-hash: '" + hash +
             "'}\n    - name: bo\n      password-hash: '$argon2id$v=19$m=4194304,t=2,p=1$" +
             hash.substr(hash.rfind('$', hash.rfind('$') - 1) + 1) + "'\n",
         ":6: http.users[1].password-hash: asks for more than 1 GiB"},
        {"    - {name: ana, password-hash: '" + hash + "', role: root}\n",
         ":4: http.users[0].role: must be viewer or admin"},
        {"    - {name: ana, password-hash: '" + hash + "'}\n    - {name: ana, password-hash: '" + hash + "'}\n",
         ":5: http.users[1].name: 'ana' is given twice (first on line 4)"},
        {"    - {name: ana}\n", ":4: http.users[0]: has no 'password-hash'"},
        {"    - {name: ana, password: x, password-hash: '" + hash + "'}\n", ":4: http.users[0].password: unknown key"},
        {"    ana\n", ":4: http.users: must be a list of users"},
    };
    for (const auto& c : cases) {
        {
            std::ofstream site(dir / "bad.yaml");
            site << head << c.users << "cameras:\n  - input: clip.avi\n";
        }
        const Outcome o = RunProgram("--config " + (dir / "bad.yaml").string(), dir);
        EXPECT_EQ(o.status, 2) << c.users;
        EXPECT_NE(o.err.find((dir / "bad.yaml").string() + c.message), std::string::npos) << c.users << o.err;
        EXPECT_EQ(o.err.find("$argon2id"), std::string::npos) << "a hash is never quoted: " << o.err;
    }
}

// Without users the login page asks for the token, and a right one opens an admin's session;
// over TLS the cookie is Secure.
TEST_F(WeaponDetectTest, OverTlsTheTokenSignsInWithASecureCookie) {
    ASSERT_TRUE(servers::MakeCertificate(dir.string(), "site"));
    WriteSmallVideo(dir / "clip.avi", 10);
    const int port = servers::FreePort();
    const ScopedEnv token("WEAPON_DETECT_HTTP_TOKEN", kToken);
    const fs::path log = dir / "run.log";
    Process run(Program({(dir / "clip.avi").string(), "--module", STEADY_MODULE, "-o", (dir / "out.jsonl").string(),
                         "--http", "127.0.0.1:" + std::to_string(port), "--keep-serving", "--session-hours", "0.5",
                         "--tls-cert", (dir / "site.pem").string(), "--tls-key", (dir / "site.key").string()}),
                log.string());
    ASSERT_TRUE(Within(std::chrono::seconds(120),
                       [&] { return ReadText(log).find("until stopped") != std::string::npos || !run.running(); }));
    ASSERT_TRUE(run.running()) << ReadText(log);
    const std::string base = "https://127.0.0.1:" + std::to_string(port), body = (dir / "body.txt").string();
    const std::string trust = "--cacert '" + (dir / "site.pem").string() + "'";
    const auto form = CurlGet(base + "/login", body, trust);
    EXPECT_EQ(form.status, 200);
    EXPECT_NE(form.body.find("name=\"token\""), std::string::npos) << form.body;
    EXPECT_EQ(form.body.find("name=\"password\""), std::string::npos);

    const fs::path headers = dir / "headers.txt";
    EXPECT_EQ(
        CurlGet(base + "/login", body, trust + " -D '" + headers.string() + "' --data-urlencode token=wrong").status,
        401);
    EXPECT_EQ(CurlGet(base + "/login", body,
                      trust + " -D '" + headers.string() + "' --data-urlencode token=" + std::string(kToken))
                  .status,
              303);
    std::smatch cookie;
    const std::string head = ReadText(headers);
    ASSERT_TRUE(
        std::regex_search(head, cookie, std::regex("Set-Cookie: weapon_detect_session=([0-9a-f]{64}); ([^\r\n]*)")))
        << head;
    EXPECT_EQ(cookie[2].str(), "Path=/; Max-Age=1800; HttpOnly; SameSite=Strict; Secure");
    const auto me =
        CurlGet(base + "/api/me", body, trust + " -H 'Cookie: weapon_detect_session=" + cookie[1].str() + "'");
    EXPECT_EQ(me.status, 200);
    EXPECT_EQ(nlohmann::json::parse(me.body, nullptr, false),
              nlohmann::json({{"name", "admin"}, {"role", "admin"}, {"signed_in_with", "session"}}));
    EXPECT_EQ(run.Stop(SIGTERM, std::chrono::seconds(20)), 0) << ReadText(log);
    EXPECT_EQ(ReadText(log).find(kToken), std::string::npos);
}
