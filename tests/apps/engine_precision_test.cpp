// The engine's arithmetic as a setting of the host program: --engine-precision (YAML
// engine-precision) takes f32, bf16, f16 or auto, refuses anything else with one line naming
// the setting and what it takes, reaches the engine through ZRV_ENGINE_PRECISION, and /metrics
// shows what was asked for.
#include <fstream>

#include "program_harness.h"
#include "support/http_probe.h"
#include "support/servers.h"

namespace program_test {
namespace {

using servers::CurlGet;
using servers::Process;

std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }

TEST_F(WeaponDetectTest, EnginePrecisionRefusesValuesItDoesNotTake) {
    WriteSmallVideo(dir / "clip.avi", 3);
    const std::string takes =
        "it takes f32 (32-bit floats), bf16 (bfloat16), f16 (16-bit floats) or auto (the runtime chooses for the "
        "CPU)";
    for (const std::string value : {"fast", "BF16", "fp32"}) {
        SCOPED_TRACE(value);
        const Outcome run = RunProgram(Quoted(dir / "clip.avi") + " --engine-precision '" + value + "' -q", dir);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_NE(run.err.find("engine-precision is '" + value + "'; " + takes), std::string::npos) << run.err;
    }
    std::ofstream(dir / "site.yaml") << "engine-precision: half\ncameras:\n  - input: " << (dir / "clip.avi").string()
                                     << "\n";
    const Outcome file = RunProgram("--config " + Quoted(dir / "site.yaml") + " -q", dir);
    EXPECT_EQ(file.status, 2) << file.err;
    EXPECT_NE(file.err.find("engine-precision"), std::string::npos) << file.err;
    EXPECT_NE(file.err.find("engine-precision is 'half'; " + takes), std::string::npos) << file.err;
}

TEST_F(WeaponDetectTest, MetricsShowThePrecisionAskedFor) {
    WriteSmallVideo(dir / "clip.avi", 3);
    const struct {
        std::vector<std::string> args;
        const char* environment;  // ZRV_ENGINE_PRECISION, null for unset
        const char* shown;
    } cases[] = {
        {{}, nullptr, "f32"},                               // the engine's default
        {{"--engine-precision", "bf16"}, nullptr, "bf16"},  // the option
        {{}, "auto", "auto"},                               // the variable other hosts set
        {{"--engine-precision", "f16"}, "bf16", "f16"},     // the option wins
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.shown);
        std::unique_ptr<ScopedEnv> environment;
        if (c.environment) environment = std::make_unique<ScopedEnv>("ZRV_ENGINE_PRECISION", c.environment);
        const int port = servers::FreePort();
        std::vector<std::string> args{(dir / "clip.avi").string(),
                                      "--module",
                                      STEADY_MODULE,
                                      "-q",
                                      "-o",
                                      (dir / "out.jsonl").string(),
                                      "--http",
                                      "127.0.0.1:" + std::to_string(port),
                                      "--keep-serving"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const fs::path log = dir / "run.log";
        Process run(Program(args), log.string());
        ASSERT_TRUE(servers::WaitForPort(port, std::chrono::milliseconds(60000))) << ReadText(log);
        const auto metrics =
            CurlGet("http://127.0.0.1:" + std::to_string(port) + "/metrics", (dir / "metrics.txt").string());
        ASSERT_EQ(metrics.status, 200);
        EXPECT_NE(metrics.body.find("# TYPE weapon_detect_engine_info gauge\nweapon_detect_engine_info{precision=\"" +
                                    std::string(c.shown) + "\"} 1\n"),
                  std::string::npos)
            << metrics.body;
    }
}

}  // namespace
}  // namespace program_test
