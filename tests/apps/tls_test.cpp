// The page over TLS against the real program: certificates made with openssl, checked with
// curl --cacert; SIGHUP loads a new certificate for new connections while a live stream over
// TLS keeps receiving and the analysis goes on; unusable certificate files and options that
// do not go together are refused at the start.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "apps/program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"
#include "support/test_certificates.h"

using namespace program_test;
using servers::CurlGet;
using servers::Process;
using servers::Within;

namespace {

// The JPEG parts of a multipart answer received so far (whole ones only).
int JpegParts(const std::string& text) {
    const std::string marker = "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: ";
    int parts = 0;
    for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
        const size_t lengthAt = at + marker.size();
        const size_t body = text.find("\r\n\r\n", lengthAt);
        if (body == std::string::npos || body + 4 + std::stoul(text.substr(lengthAt, body - lengthAt)) > text.size()) {
            break;
        }
        ++parts;
    }
    return parts;
}

// A sample's value in a /metrics text, -1 when missing.
double Sample(const std::string& metrics, const std::string& sample) {
    const size_t at = metrics.find("\n" + sample + " ");
    return at == std::string::npos ? -1 : std::stod(metrics.substr(at + sample.size() + 2));
}

}  // namespace

TEST_F(WeaponDetectTest, PageOverTlsReloadsItsCertificateOnHangUpWithoutDroppingTheStream) {
    ASSERT_TRUE(servers::MakeCertificate(dir.string(), "a"));
    ASSERT_TRUE(servers::MakeCertificate(dir.string(), "b"));
    fs::copy_file(dir / "a.pem", dir / "site.pem");
    fs::copy_file(dir / "a.key", dir / "site.key");
    WriteSceneVideo(dir / "clip.avi", 0, 30);
    const int port = servers::FreePort();
    const std::string base = "https://127.0.0.1:" + std::to_string(port);
    const fs::path log = dir / "run.log", scratch = dir / "scratch.bin";
    Process run(Program({(dir / "clip.avi").string(), "--realtime", "--loop", "--module", STEADY_MODULE, "-o",
                         (dir / "out.jsonl").string(), "--no-clips", "--http", "127.0.0.1:" + std::to_string(port),
                         "--tls-cert", (dir / "site.pem").string(), "--tls-key", (dir / "site.key").string()}),
                log.string());
    ASSERT_TRUE(servers::WaitForPort(port, std::chrono::seconds(60))) << ReadText(log);
    auto trusting = [&](const char* ca, const std::string& path) {
        return CurlGet(base + path, scratch.string(), "--cacert '" + (dir / ca).string() + "'");
    };
    auto analysed = [&] {
        const auto reply = trusting("site.pem", "/api/cameras");
        return reply.status == 200 ? nlohmann::json::parse(reply.body)[0]["analysed"].get<long long>() : -1;
    };

    // The page and its API over TLS, trusted through the certificate; refused without it, and a
    // plain HTTP client gets no page.
    ASSERT_TRUE(Within(std::chrono::seconds(60), [&] { return analysed() > 0; })) << ReadText(log);
    const auto page = trusting("a.pem", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<html"), std::string::npos);
    EXPECT_EQ(CurlGet(base + "/api/cameras", scratch.string()).status, 0) << "no CA given: not trusted";
    EXPECT_EQ(CurlGet("http://127.0.0.1:" + std::to_string(port) + "/api/cameras", scratch.string()).status, 0);
    EXPECT_NE(ReadText(log).find(base + "/"), std::string::npos) << "the page's address is said as https://";

    // A viewer on the live stream over TLS.
    const fs::path mjpeg = dir / "live.mjpeg";
    Process viewer({"curl", "-s", "-N", "--max-time", "120", "--cacert", (dir / "a.pem").string(), "-o", mjpeg.string(),
                    base + "/api/cameras/0/live.mjpeg"},
                   (dir / "viewer.log").string());
    ASSERT_TRUE(Within(std::chrono::seconds(30), [&] { return JpegParts(ReadText(mjpeg)) >= 2; }));

    // A new certificate in place of the old, then SIGHUP: new connections get it.
    fs::copy_file(dir / "b.pem", dir / "site.pem", fs::copy_options::overwrite_existing);
    fs::copy_file(dir / "b.key", dir / "site.key", fs::copy_options::overwrite_existing);
    const int partsBefore = JpegParts(ReadText(mjpeg));
    const long long analysedBefore = analysed();
    kill(run.pid(), SIGHUP);
    ASSERT_TRUE(Within(std::chrono::seconds(30), [&] { return trusting("b.pem", "/api/cameras").status == 200; }))
        << ReadText(log);
    EXPECT_EQ(trusting("a.pem", "/api/cameras").status, 0) << "the old certificate is no longer presented";
    EXPECT_EQ(Sample(trusting("b.pem", "/metrics").body, "weapon_detect_tls_reloads_total{result=\"ok\"}"), 1);
    EXPECT_GT(Sample(trusting("b.pem", "/metrics").body, "weapon_detect_tls_certificate_expiry_seconds"), 3600);

    // The stream that began before goes on with its certificate, and so does the analysis.
    EXPECT_TRUE(Within(std::chrono::seconds(30), [&] { return JpegParts(ReadText(mjpeg)) >= partsBefore + 3; }))
        << "the live stream stopped at " << partsBefore << " parts";
    EXPECT_TRUE(viewer.running());
    EXPECT_TRUE(Within(std::chrono::seconds(30), [&] { return analysed() > analysedBefore + 10; }));

    // A reload that fails keeps the certificate in use, and says why.
    std::ofstream(dir / "site.pem", std::ios::trunc) << "not a certificate\n";
    kill(run.pid(), SIGHUP);
    ASSERT_TRUE(Within(std::chrono::seconds(30), [&] {
        return Sample(trusting("b.pem", "/metrics").body, "weapon_detect_tls_reloads_total{result=\"failed\"}") == 1;
    }));
    const std::string said = ReadText(log);
    EXPECT_NE(said.find("not reloaded"), std::string::npos) << said;
    EXPECT_NE(said.find((dir / "site.pem").string()), std::string::npos) << said;
    EXPECT_EQ(trusting("b.pem", "/api/cameras").status, 200);

    EXPECT_TRUE(run.running()) << "SIGHUP never stops the run";
    EXPECT_EQ(run.Stop(SIGTERM, std::chrono::seconds(20)), 130);
}

TEST_F(WeaponDetectTest, UnusableCertificatesAndUnpairedTlsOptionsAreRefusedAtStart) {
    ASSERT_TRUE(servers::MakeCertificate(dir.string(), "a"));
    ASSERT_TRUE(servers::MakeCertificate(dir.string(), "b"));
    std::ofstream(dir / "garbage.pem") << "not a certificate\n";
    WriteSceneVideo(dir / "clip.avi", 0, 3);
    const std::string a = (dir / "a.pem").string(), aKey = (dir / "a.key").string(), bKey = (dir / "b.key").string(),
                      garbage = (dir / "garbage.pem").string(), none = (dir / "none.pem").string();
    const std::string http = "--http 127.0.0.1:" + std::to_string(servers::FreePort()) + " ";
    struct Case {
        const char* what;
        std::string args;
        int status;
        std::vector<std::string> said;
    } cases[] = {
        {"missing certificate", http + "--tls-cert " + none + " --tls-key " + aKey, 1, {none, "No such file"}},
        {"not a certificate", http + "--tls-cert " + garbage + " --tls-key " + aKey, 1, {garbage, "no start line"}},
        {"key of another certificate", http + "--tls-cert " + a + " --tls-key " + bKey, 1, {bKey, "does not belong"}},
        {"certificate without key", http + "--tls-cert " + a, 2, {"--tls-cert", "--tls-key"}},
        {"key without certificate", http + "--tls-key " + aKey, 2, {"--tls-key", "--tls-cert"}},
        {"TLS without a page", "--tls-cert " + a + " --tls-key " + aKey, 2, {"--tls-cert", "--http"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto o =
            RunProgram((dir / "clip.avi").string() + " -q -o " + (dir / "out.jsonl").string() + " " + c.args, dir);
        EXPECT_EQ(o.status, c.status) << o.err;
        for (const std::string& words : c.said) EXPECT_NE(o.err.find(words), std::string::npos) << o.err;
    }
    // The same rule in a site config, where the files stand under the http mapping.
    std::ofstream(dir / "site.yaml") << "cameras:\n  - input: clip.avi\nhttp:\n  address: 127.0.0.1:"
                                     << servers::FreePort() << "\n  tls-cert: a.pem\n";
    const auto o =
        RunProgram("--config " + (dir / "site.yaml").string() + " -q -o " + (dir / "out.jsonl").string(), dir);
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find("http.tls-key"), std::string::npos) << o.err;
}
