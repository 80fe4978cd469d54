// Construction, model loading, optimisation, parameter reporting and release.
#include <cmath>
#include <limits>
#include <stdexcept>

#include "support/detector_fixture.h"

using scripted::Op;

namespace {

std::string CaptureInit(ZRVCustomWD& detector, bool& result, float threshold = 0.5f) {
    std::string labels;
    ::testing::internal::CaptureStdout();
    result = detector.Initialize("/models/here", threshold, labels);
    return ::testing::internal::GetCapturedStdout();
}

}  // namespace

using LifecycleTest = DetectorTest;

TEST_F(LifecycleTest, ConstructedStateHoldsEveryListedValue) {
    ExpectConstructedState(access);
    EXPECT_TRUE(scripted::calls().empty()) << "construction must not touch the engine";
}

TEST_F(LifecycleTest, EngineTypeChoosesCodesAndPrintsThePath) {
    struct Case {
        int engineType;
        int detectorType, filterType;
        const char* line;
    };
    const Case cases[] = {
        {1, 4, 4, "NVIDIA GPU detected. Using TensorRT\n"},
        {0, 5, 17, "CPU detected. Using OpenVINO and ONNX\n"},
        {2, 5, 17, "CPU detected. Using OpenVINO and ONNX\n"},
        {-7, 5, 17, "CPU detected. Using OpenVINO and ONNX\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.engineType);
        scripted::Reset();
        scripted::script().engineType = c.engineType;
        ZRVCustomWD wd;
        ZRVCustomWDTestAccess a(wd);
        bool ok = false;
        EXPECT_EQ(CaptureInit(wd, ok), c.line);
        EXPECT_TRUE(ok);
        EXPECT_EQ(a.engineType(), c.engineType);
        EXPECT_EQ(a.detectorModelType(), c.detectorType);
        EXPECT_EQ(a.filterModelType(), c.filterType);
        EXPECT_EQ(a.detectorDetectionType(), 1);
        EXPECT_EQ(a.filterDetectionType(), 1);
        auto loads = scripted::callsOf(Op::Load);
        ASSERT_EQ(loads.size(), 2u);
        EXPECT_EQ(loads[0].modelType, c.detectorType);
        EXPECT_EQ(loads[1].modelType, c.filterType);
        // Only the weapon instance is asked for the engine type.
        auto typeCalls = scripted::callsOf(Op::GetEngineType);
        ASSERT_EQ(typeCalls.size(), 1u);
        EXPECT_EQ(typeCalls[0].instance, 1);
    }
}

TEST_F(LifecycleTest, LoadArgumentsReachTheEngineInOrder) {
    for (bool loadOnCreate : {false, true}) {
        SCOPED_TRACE(loadOnCreate);
        scripted::Reset();
        scripted::script().labelMap = {{"train_last", "0 gun\n1 knife\n"}, {"filter", "0 person\n"}};
        ZRVCustomWD wd;
        ZRVCustomWDTestAccess a(wd);
        wd.SetLoadEngineOnCreate(loadOnCreate);
        std::string labels = "stale";
        ::testing::internal::CaptureStdout();
        EXPECT_TRUE(wd.Initialize("/models/here", 0.42f, labels));
        ::testing::internal::GetCapturedStdout();

        auto loads = scripted::callsOf(Op::Load);
        ASSERT_EQ(loads.size(), 2u);
        const char* names[] = {"train_last", "filter"};
        const char* classFiles[] = {"classes.names", "filter.names"};
        for (int i = 0; i < 2; ++i) {
            const auto& call = loads[static_cast<size_t>(i)];
            EXPECT_EQ(call.instance, i + 1);
            EXPECT_EQ(call.reserved, "");
            EXPECT_EQ(call.modelName, names[i]);
            EXPECT_EQ(call.classFile, classFiles[i]);
            EXPECT_FLOAT_EQ(call.scoreThreshold, 0.42f);
            EXPECT_FLOAT_EQ(call.nmsThreshold, 0.5f);
            EXPECT_FLOAT_EQ(call.extraThreshold, 0.5f);
            EXPECT_EQ(call.batchSize, 1);
            EXPECT_EQ(call.detectionType, 1);
            EXPECT_EQ(call.loadEngineOnCreate, loadOnCreate ? 1 : 0);
            EXPECT_EQ(call.folder, "/models/here");
        }
        EXPECT_EQ(labels, "0 gun\n1 knife\n");
        EXPECT_EQ(a.filterLabelMap(), "0 person\n");
        EXPECT_EQ(a.modelDirectory(), "/models/here");
        EXPECT_FLOAT_EQ(a.threshold(), 0.42f);
        EXPECT_EQ(a.detectorModelName(), "train_last");
        EXPECT_EQ(a.filterClassFile(), "filter.names");
    }
}

TEST_F(LifecycleTest, InitializeIsTrueOnlyWhenBothLoadsReturnOne) {
    struct Case {
        int weapon, person;
        bool expected;
    };
    const Case cases[] = {{1, 1, true}, {1, 0, false}, {1, 2, false}, {1, -1, false},
                          {0, 1, false}, {0, 0, false}, {2, 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.weapon << "/" << c.person);
        scripted::Reset();
        scripted::script().loadResult = {{"train_last", c.weapon}, {"filter", c.person}};
        ZRVCustomWD wd;
        bool ok = !c.expected;
        CaptureInit(wd, ok);
        EXPECT_EQ(ok, c.expected);
        // The person model is loaded even after a failed weapon load, and both engines stay.
        EXPECT_EQ(scripted::callsOf(Op::Load).size(), 2u);
        ZRVCustomWDTestAccess a(wd);
        EXPECT_NE(a.detector(), nullptr);
        EXPECT_NE(a.filter(), nullptr);
    }
}

TEST_F(LifecycleTest, ThresholdsThatAreNotANumberInZeroToOneAreRefused) {
    const float bad[] = {std::nanf(""), -0.01f, 1.01f, std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    ASSERT_TRUE(Init(0.4f));
    const auto loadsBefore = scripted::callsOf(Op::Load).size();
    for (float threshold : bad) {
        SCOPED_TRACE(threshold);
        bool ok = true;
        ::testing::internal::CaptureStderr();
        CaptureInit(*detector, ok, threshold);
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(ok);
        EXPECT_NE(err.find("threshold"), std::string::npos);
        EXPECT_FLOAT_EQ(access.threshold(), 0.4f) << "the detector is left as it was";
        EXPECT_NE(access.detector(), nullptr);
    }
    EXPECT_EQ(scripted::callsOf(Op::Load).size(), loadsBefore);
    for (float threshold : {0.0f, 1.0f}) {
        bool ok = false;
        CaptureInit(*detector, ok, threshold);
        EXPECT_TRUE(ok) << threshold;
    }
}

TEST_F(LifecycleTest, ReinitialisingReplacesEachEngineAfterItsSuccessorExists) {
    ASSERT_TRUE(Init());
    access.area() = cv::Rect(10, 20, 300, 300);
    access.noDetectionCount() = 7;
    access.areaActive() = true;
    access.confirmationCount() = 4;
    access.currentPriority() = 3;
    scripted::Reset();
    ASSERT_TRUE(Init(0.6f));

    std::vector<std::pair<Op, int>> lifecycle;
    for (const auto& call : scripted::calls()) {
        if (call.op == Op::Create || call.op == Op::Destroy) lifecycle.emplace_back(call.op, call.instance);
    }
    // The record restarts numbering after Reset: the earlier instances were 1 and 2 and
    // are released as "1" and "2" of the old run; the new ones are 1 and 2 of this run.
    ASSERT_EQ(lifecycle.size(), 4u);
    EXPECT_EQ(lifecycle[0].first, Op::Create);
    EXPECT_EQ(lifecycle[1].first, Op::Destroy);
    EXPECT_EQ(scripted::calls()[1].model, "train_last");
    EXPECT_EQ(lifecycle[2].first, Op::Create);
    EXPECT_EQ(lifecycle[3].first, Op::Destroy);
    EXPECT_EQ(scripted::calls()[3].model, "filter");
    EXPECT_EQ(scripted::liveInstances(), 2);

    // Frame-analysis state survives a reload.
    EXPECT_EQ(access.area(), cv::Rect(10, 20, 300, 300));
    EXPECT_EQ(access.noDetectionCount(), 7);
    EXPECT_TRUE(access.areaActive());
    EXPECT_EQ(access.confirmationCount(), 4);
    EXPECT_EQ(access.currentPriority(), 3);
    EXPECT_FLOAT_EQ(access.threshold(), 0.6f);
}

TEST_F(LifecycleTest, ParametersStoredBeforeInitializeAreEmptiedByIt) {
    CustomParams params;
    params.listA.resize(2);
    params.listB = {"b"};
    params.listC.resize(1);
    params.listD.resize(3);
    ASSERT_TRUE(detector->SetParameters(params));
    ASSERT_TRUE(Init());
    EXPECT_TRUE(access.params().listA.empty());
    EXPECT_TRUE(access.params().listB.empty());
    EXPECT_TRUE(access.params().listC.empty());
    EXPECT_TRUE(access.params().listD.empty());
}

TEST_F(LifecycleTest, LoadFlagSetAfterInitializeWaitsForTheNextOne) {
    ASSERT_TRUE(Init());
    detector->SetLoadEngineOnCreate(true);
    EXPECT_EQ(scripted::callsOf(Op::Load).size(), 2u) << "setting the flag loads nothing";
    ASSERT_TRUE(Init());
    auto loads = scripted::callsOf(Op::Load);
    ASSERT_EQ(loads.size(), 4u);
    EXPECT_EQ(loads[1].loadEngineOnCreate, 0);
    EXPECT_EQ(loads[2].loadEngineOnCreate, 1);
    EXPECT_EQ(loads[3].loadEngineOnCreate, 1);
}

TEST_F(LifecycleTest, EngineWithoutInstancesLeavesTheDetectorUninitialised) {
    scripted::script().createFails = true;
    bool ok = true;
    CaptureInit(*detector, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(access.detector(), nullptr);
    EXPECT_EQ(access.filter(), nullptr);
    EXPECT_TRUE(scripted::callsOf(Op::GetEngineType).empty());
    EXPECT_TRUE(scripted::callsOf(Op::Load).empty());

    EXPECT_TRUE(detector->RunInference(Frame(640, 480), "cam1").empty());
    EXPECT_EQ(access.currentPriority(), 0) << "the frame must be turned away";
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(detector->OptimizeModel(true));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Model is not initialized.\n");
}

TEST_F(LifecycleTest, InitializeLetsEngineExceptionsThrough) {
    scripted::script().throws[{Op::Load, "filter"}] = scripted::Throw::Standard;
    std::string labels;
    ::testing::internal::CaptureStdout();
    EXPECT_THROW(detector->Initialize("m", 0.5f, labels), std::runtime_error);
    ::testing::internal::GetCapturedStdout();
}

TEST_F(LifecycleTest, OptimizeModelCallsBothEnginesAndReports) {
    struct Case {
        int weapon, person;
        bool expected;
        const char* line;
    };
    const Case cases[] = {
        {1, 1, true, "Model optimization successful.\n"},
        {0, 1, false, "Model optimization failed.\n"},
        {1, 2, false, "Model optimization failed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.weapon << "/" << c.person);
        scripted::Reset();
        ZRVCustomWD wd;
        bool ok = false;
        CaptureInit(wd, ok);
        scripted::script().optimizeResult = {{"train_last", c.weapon}, {"filter", c.person}};
        ::testing::internal::CaptureStdout();
        EXPECT_EQ(wd.OptimizeModel(true), c.expected);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.line);
        auto calls = scripted::callsOf(Op::Optimize);
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[0].model, "train_last");
        EXPECT_EQ(calls[1].model, "filter");
        EXPECT_TRUE(calls[0].flag);
    }
}

TEST_F(LifecycleTest, OptimizeModelWithoutEnginesOrOnExceptions) {
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(detector->OptimizeModel(false));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Model is not initialized.\n");
    EXPECT_TRUE(scripted::calls().empty());

    ASSERT_TRUE(Init());
    for (auto kind : {scripted::Throw::Standard, scripted::Throw::NonStandard}) {
        scripted::script().throws[{Op::Optimize, "filter"}] = kind;
        ::testing::internal::CaptureStdout();
        EXPECT_FALSE(detector->OptimizeModel(false));
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), "") << "nothing is written on an exception";
    }

    detector->Destroy();
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(detector->OptimizeModel(false));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Model is not initialized.\n");
}

TEST_F(LifecycleTest, ConfigureParametersEmptiesTheCallersRecordOnly) {
    CustomParams stored;
    stored.listB = {"kept"};
    ASSERT_TRUE(detector->SetParameters(stored));

    CustomParams record;
    EXPECT_TRUE(detector->ConfigureParameters(record));
    record.listA.resize(1);
    record.listB = {"x", "y"};
    record.listC.resize(2);
    record.listD.resize(1);
    EXPECT_TRUE(detector->ConfigureParameters(record));
    EXPECT_TRUE(record.listA.empty());
    EXPECT_TRUE(record.listB.empty());
    EXPECT_TRUE(record.listC.empty());
    EXPECT_TRUE(record.listD.empty());
    EXPECT_EQ(access.params().listB, std::vector<std::string>{"kept"});
}

TEST_F(LifecycleTest, DestroyReleasesEachInstanceOnce) {
    ASSERT_TRUE(Init());
    EXPECT_TRUE(detector->Destroy());
    EXPECT_TRUE(detector->Destroy());
    EXPECT_EQ(access.detector(), nullptr);
    EXPECT_EQ(access.filter(), nullptr);
    EXPECT_EQ(scripted::callsOf(Op::Destroy).size(), 2u);
    EXPECT_EQ(scripted::liveInstances(), 0);
    EXPECT_TRUE(detector->RunInference(Frame(640, 480)).empty());

    detector.reset();  // destruction after Destroy releases nothing more
    EXPECT_EQ(scripted::callsOf(Op::Destroy).size(), 2u);
}

TEST_F(LifecycleTest, DestructionReleasesBothEngines) {
    ASSERT_TRUE(Init());
    detector.reset();
    auto destroys = scripted::callsOf(Op::Destroy);
    ASSERT_EQ(destroys.size(), 2u);
    EXPECT_EQ(destroys[0].model, "train_last");
    EXPECT_EQ(destroys[1].model, "filter");
    EXPECT_EQ(scripted::liveInstances(), 0);
}

TEST_F(LifecycleTest, ConsoleSinkMayCallBackIntoTheDetectorThatPrints) {
    // The sink runs on the printing thread while the detector holds its lock; a call back
    // into the same detector from there must go through, not deadlock.
    struct Context {
        ZRVCustomWD* detector;
        int lines = 0;
        bool configured = false;
    } context{detector.get()};
    SetConsoleSink(
        [](int, const char*, void* raw) {
            auto* c = static_cast<Context*>(raw);
            ++c->lines;
            CustomParams params;
            params.listB = {"host"};
            c->configured = c->detector->ConfigureParameters(params) && params.listB.empty();
        },
        &context);
    struct RestoreSink {
        ~RestoreSink() { SetConsoleSink(nullptr, nullptr); }
    } restore;
    std::string labels;
    const bool loaded = detector->Initialize("models", 0.5f, labels);
    const bool optimised = detector->OptimizeModel(true);
    EXPECT_TRUE(loaded);
    EXPECT_TRUE(optimised);
    EXPECT_EQ(context.lines, 2) << "the engine-path line and the optimisation line";
    EXPECT_TRUE(context.configured);
}
