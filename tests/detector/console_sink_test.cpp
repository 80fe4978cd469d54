// A console sink that calls back into the detector that is printing, from every kind of
// line: the engine-path line, the optimisation line, a frame's warning and the engine's own
// lines at load and in a frame. Each call runs on a thread of its own with a bound, so that
// a deadlock fails the test instead of hanging the run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/detector_fixture.h"

using scripted::Detection;
using scripted::Op;

namespace {

// What the sink saw ("<stream> <line>"), and the call back it makes on its first line.
struct SinkRecord {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::function<void()> callBack;
    bool calledBack = false;
};

extern "C" void RecordAndCallBack(int stream, const char* line, void* raw) {
    auto* record = static_cast<SinkRecord*>(raw);
    std::function<void()> callBack;
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        record->lines.push_back(std::to_string(stream) + " " + line);
        if (!record->calledBack) {
            record->calledBack = true;
            callBack = record->callBack;
        }
    }
    if (callBack) callBack();
}

// Runs `call` on a thread of its own and waits for it at most 20 seconds. A call that does
// not finish has deadlocked while holding locks every later test needs: the failure is
// reported and the test program ends.
void FinishesInTime(const std::function<void()>& call, const std::string& what) {
    std::packaged_task<void()> task(call);
    std::future<void> finished = task.get_future();
    std::thread worker(std::move(task));
    if (finished.wait_for(std::chrono::seconds(20)) == std::future_status::ready) {
        worker.join();
        finished.get();
        return;
    }
    ADD_FAILURE() << what << ": did not finish within 20 s (the console sink deadlocked)";
    std::fflush(stdout);
    std::_Exit(EXIT_FAILURE);
}

}  // namespace

class ConsoleSinkTest : public DetectorTest {
protected:
    void TearDown() override {
        SetConsoleSink(nullptr, nullptr);
        DetectorTest::TearDown();
    }
};

TEST_F(ConsoleSinkTest, SinkMayCallBackIntoTheDetectorFromEveryLine) {
    const std::string cpuLine = "1 CPU detected. Using OpenVINO and ONNX";
    const std::string optimisedLine = "1 Model optimization successful.";
    struct Case {
        std::string name;
        std::function<void(ZRVCustomWD&)> before;  // with the default console
        std::function<void(ZRVCustomWD&)> call;    // the call that prints, on its own thread
        std::function<void(ZRVCustomWD&)> callBack;
        std::vector<std::string> lines;
        bool releasedAfter;  // the call back released the engines
    };
    const auto initialise = [](ZRVCustomWD& d) {
        std::string labels;
        d.Initialize("models", 0.5f, labels);
    };
    const auto quietInitialise = [&](ZRVCustomWD& d) {
        ::testing::internal::CaptureStdout();
        initialise(d);
        ::testing::internal::GetCapturedStdout();
    };
    const auto optimise = [](ZRVCustomWD& d) { d.OptimizeModel(true); };
    const auto release = [](ZRVCustomWD& d) { d.Destroy(); };
    const Case cases[] = {
        {"the engine-path line; the sink optimises", nullptr, initialise, optimise, {cpuLine, optimisedLine}, false},
        {"the optimisation line; the sink initialises",
         quietInitialise,
         optimise,
         initialise,
         {optimisedLine, cpuLine},
         false},
        {"a frame's warning; the sink optimises",
         quietInitialise,
         [](ZRVCustomWD& d) { d.RunInference(cv::Mat(480, 640, CV_16UC3, cv::Scalar::all(9000)), "door"); },
         optimise,
         {"2 Warning: camera 'door': 16-bit frames are scaled to 8 bits for analysis.", optimisedLine},
         false},
        {"the engine's line at load; the sink releases the engines",
         [](ZRVCustomWD&) {
             scripted::script().says[{Op::Load, scripted::kWeapon}] = "engine: weapon model note";
         },
         initialise,
         release,
         {cpuLine, "2 engine: weapon model note"},
         true},
        {"the engine's line in a tracked frame; the sink releases the engines",
         [&](ZRVCustomWD& d) {
             quietInitialise(d);
             // The search locks on to a candidate, so that the next frame tracks it.
             auto& answers = scripted::script().detections[scripted::kWeapon];
             answers.push_back({Detection({40, 40, 30, 14}, 0.9f)});
             answers.push_back({Detection({60, 60, 30, 14}, 0.9f)});
             d.RunInference(Frame(640, 480), "door");
             scripted::script().says[{Op::RunInference, scripted::kWeapon}] = "engine: output note";
         },
         [](ZRVCustomWD& d) { d.RunInference(Frame(640, 480), "door"); },
         release,
         {"2 engine: output note"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ZRVCustomWDTestAccess a = FreshDetector();
        ZRVCustomWD& d = *detector;
        if (c.before) c.before(d);
        SinkRecord record;
        record.callBack = [&] { c.callBack(d); };
        SetConsoleSink(RecordAndCallBack, &record);
        FinishesInTime([&] { c.call(d); }, c.name);
        SetConsoleSink(nullptr, nullptr);
        EXPECT_EQ(record.lines, c.lines);
        EXPECT_EQ(a.detector() == nullptr, c.releasedAfter);
    }
}
