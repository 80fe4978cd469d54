// The engine's settings from the environment (ZRV_ENGINE_THREADS, ZRV_ENGINE_PRECISION): a
// value the engine cannot use fails every load with one line naming the variable and the
// values it takes, never silently falls back. The engine reads the environment once per
// process, so each case runs this test program anew with the variable set, where the
// "child" test loads both demo models and prints what it saw.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine_fixture.h"
#if ZRV_HAVE_OPENVINO
#include <openvino/runtime/core.hpp>
#endif

using namespace engine_test;

namespace {

constexpr const char* kChildFlag = "ZRV_ENGINE_SETTINGS_CHILD";

extern "C" void CollectEngineLine(const char* line, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(line);
}

struct ChildRun {
    std::vector<int> results;        // of the two loads
    std::vector<std::string> lines;  // the engine wrote
    std::string output;              // everything, for the failure messages
};

// Runs the child test with `variable` set to `value` (and the other setting unset).
ChildRun RunChild(const std::string& variable, const std::string& value) {
    char self[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ChildRun run;
    if (length <= 0) return run;
    const std::string command = "timeout -s KILL 300 env -u ZRV_ENGINE_THREADS -u ZRV_ENGINE_PRECISION " + variable +
                                "='" + value + "' " + kChildFlag + "=1 " + std::string(self) +
                                " --gtest_filter=EngineSettingsChild.LoadsBothDemoModels 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, pipe)) {
        std::string line = buffer;
        run.output += line;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (line.rfind("result ", 0) == 0) run.results.push_back(std::atoi(line.c_str() + 7));
        if (line.rfind("line ", 0) == 0) run.lines.push_back(line.substr(5));
    }
    ::pclose(pipe);
    return run;
}

}  // namespace

// The child: skipped unless run by the test below.
TEST(EngineSettingsChild, LoadsBothDemoModels) {
    if (!std::getenv(kChildFlag)) GTEST_SKIP() << "run by EngineSettingsTest with a setting in the environment";
    std::vector<std::string> lines;
    ZRVLIB_SetMessageSink(CollectEngineLine, &lines);
    std::vector<int> results;
    for (const char* model : {"train_last", "filter"}) {
        Engine engine(ZORAVELIN::ZRVLIB::Create());
        std::string labels;
        results.push_back(zrv::testing::LoadModel(*engine, kDemoModels, model,
                                                  std::string(model) == "filter" ? "filter.names" : "classes.names",
                                                  labels));
    }
    ZRVLIB_SetMessageSink(nullptr, nullptr);
    for (int result : results) std::printf("result %d\n", result);
    for (const std::string& line : lines) std::printf("line %s\n", line.c_str());
}

TEST(EngineSettingsTest, ValuesTheEngineCannotUseFailEveryLoadWithOneLine) {
#if !ZRV_HAVE_OPENVINO
    GTEST_SKIP() << "only the OpenVINO backend has settings";
#endif
    const std::string threadsTake =
        "it takes a number of threads from 1 to 1024, or stays unset for every physical core";
    const std::string precisionTakes =
        "it takes f32 (32-bit floats), bf16 (bfloat16), f16 (16-bit floats) or auto (the runtime chooses for the "
        "CPU); unset, f32";
    // What the compiled models run: bf16 asked for, or auto, gives bfloat16 where the CPU has a
    // bfloat16 unit and f32 elsewhere; f16 falls back to one of those on CPUs without a 16-bit
    // float unit, so its line is not checked.
    const std::vector<std::string> capabilities = ov::Core().get_property("CPU", ov::device::capabilities);
    const bool bf16Unit =
        std::find(capabilities.begin(), capabilities.end(), ov::device::capability::BF16) != capabilities.end();
    const std::string bf16 = bf16Unit ? "bf16" : "f32";
    const struct {
        std::string variable, value;
        std::string says;  // after "cannot load model '…': "; empty: the loads succeed
        std::string precision = "f32";  // the end of both load lines when they succeed; empty: not checked
    } cases[] = {
        {"ZRV_ENGINE_THREADS", "abc", "ZRV_ENGINE_THREADS is 'abc'; " + threadsTake},
        {"ZRV_ENGINE_THREADS", "0", "ZRV_ENGINE_THREADS is '0'; " + threadsTake},
        {"ZRV_ENGINE_THREADS", "999999", "ZRV_ENGINE_THREADS is '999999'; " + threadsTake},
        {"ZRV_ENGINE_THREADS", "1025", "ZRV_ENGINE_THREADS is '1025'; " + threadsTake},
        {"ZRV_ENGINE_THREADS", "-2", "ZRV_ENGINE_THREADS is '-2'; " + threadsTake},
        {"ZRV_ENGINE_THREADS", "2 cores", "ZRV_ENGINE_THREADS is '2 cores'; " + threadsTake},
        {"ZRV_ENGINE_PRECISION", "garbage", "ZRV_ENGINE_PRECISION is 'garbage'; " + precisionTakes},
        {"ZRV_ENGINE_PRECISION", "BF16", "ZRV_ENGINE_PRECISION is 'BF16'; " + precisionTakes},
        {"ZRV_ENGINE_PRECISION", "fp32", "ZRV_ENGINE_PRECISION is 'fp32'; " + precisionTakes},
        {"ZRV_ENGINE_THREADS", "2", ""},
        {"ZRV_ENGINE_THREADS", "", ""},
        {"ZRV_ENGINE_PRECISION", "auto", "", bf16},
        {"ZRV_ENGINE_PRECISION", "f32", "", "f32"},
        {"ZRV_ENGINE_PRECISION", "bf16", "", bf16},
        {"ZRV_ENGINE_PRECISION", "f16", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.variable + "=" + c.value);
        const ChildRun run = RunChild(c.variable, c.value);
        if (c.says.empty()) {
            EXPECT_EQ(run.results, (std::vector<int>{1, 1})) << run.output;
            // The load lines only.
            ASSERT_EQ(run.lines.size(), 2u) << run.output;
            EXPECT_EQ(run.lines[0].rfind("ZRVLIB: model 'train_last': task detect", 0), 0u) << run.output;
            EXPECT_EQ(run.lines[1].rfind("ZRVLIB: model 'filter': task detect", 0), 0u) << run.output;
            const std::string end = ", precision " + c.precision;
            for (const std::string& line : run.lines) {
                if (c.precision.empty()) break;
                EXPECT_TRUE(line.size() >= end.size() && line.compare(line.size() - end.size(), end.size(), end) == 0)
                    << "the line should end with '" << end << "'\n"
                    << run.output;
            }
            continue;
        }
        EXPECT_EQ(run.results, (std::vector<int>{0, 0})) << run.output;
        ASSERT_EQ(run.lines.size(), 2u) << "one line per load\n" << run.output;
        const char* starts[] = {"ZRVLIB: cannot load model 'train_last': ", "ZRVLIB: cannot load model 'filter': "};
        for (size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(run.lines[i], starts[i] + c.says) << run.output;
        }
    }
}
