// The host program end to end: the demo, bad input, several cameras, Ctrl-C.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "demo/demo_scene.h"

namespace fs = std::filesystem;
using zrv::demo::DemoScene;

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs the program with `args` (already quoted for the shell).
Outcome RunProgram(const std::string& args, const fs::path& scratch) {
    const fs::path out = scratch / "stdout.txt", err = scratch / "stderr.txt";
    const std::string command = std::string(WEAPON_DETECT) + " " + args + " > " + out.string() + " 2> " + err.string();
    Outcome o;
    const int raw = std::system(command.c_str());
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream so(out), se(err);
    o.out.assign(std::istreambuf_iterator<char>(so), {});
    o.err.assign(std::istreambuf_iterator<char>(se), {});
    return o;
}

std::vector<nlohmann::json> ReadLines(const fs::path& path) {
    std::vector<nlohmann::json> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) records.push_back(nlohmann::json::parse(line));
    return records;
}

cv::Rect Box(const nlohmann::json& b) {
    return {b["x"].get<int>(), b["y"].get<int>(), b["width"].get<int>(), b["height"].get<int>()};
}

void WriteSceneVideo(const fs::path& path, int from, int to) {
    cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), DemoScene::kFps,
                           cv::Size(DemoScene::kWidth, DemoScene::kHeight));
    ASSERT_TRUE(writer.isOpened());
    const DemoScene scene;
    cv::Mat frame;
    for (int i = from; i < to; ++i) {
        scene.Render(i, frame);
        writer.write(frame);
    }
}

class WeaponDetectTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("weapon_detect_" + std::to_string(::getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    fs::path dir;
};

}  // namespace

TEST_F(WeaponDetectTest, DemoFindsTheWeaponWhereTheSceneHasIt) {
    const auto o = RunProgram("--demo --quiet --output-dir " + dir.string(), dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("Annotated video: "), std::string::npos) << o.out;
    EXPECT_TRUE(fs::file_size(dir / "annotated.mp4") > 0);
    EXPECT_TRUE(fs::exists(dir / "demo_scene.avi"));

    const DemoScene scene;
    cv::Mat frame;
    std::map<long long, zrv::demo::SceneTruth> truth;
    int visible = 0;
    for (int i = 0; i < DemoScene::kFrames; ++i) {
        truth[i] = scene.Render(i, frame);
        visible += truth[i].weaponVisible;
    }
    int matched = 0, events = 0;
    for (const auto& record : ReadLines(dir / "detections.jsonl")) {
        if (record["type"] == "event") {
            ++events;
            EXPECT_TRUE(fs::exists(record["snapshot"].get<std::string>()));
            continue;
        }
        const auto& t = truth.at(record["frame"].get<long long>());
        ASSERT_TRUE(t.weaponVisible) << "a detection where the scene has no weapon: " << record;
        for (const auto& d : record["detections"]) {
            EXPECT_EQ(d["class_name"], "handgun");
            EXPECT_GT((Box(d["box"]) & t.weapon).area(), 0) << record;
            EXPECT_EQ(d["info"], "Detection Score Threshold:0.500000");
        }
        ++matched;
    }
    EXPECT_GT(matched, visible * 2 / 3) << "visible in " << visible << " frames";
    EXPECT_EQ(events, 1);
}

TEST_F(WeaponDetectTest, BadInputGivesOneClearMessageAndNoOutputFile) {
    std::ofstream(dir / "broken.mp4") << "not a video at all";
    fs::create_directories(dir / "empty_models");
    WriteSceneVideo(dir / "clip.avi", 40, 42);
    const std::string output = (dir / "result.jsonl").string();
    const struct {
        std::string args, mentions;
    } cases[] = {
        {(dir / "missing.mp4").string(), "missing.mp4 does not exist"},
        {(dir / "broken.mp4").string(), "broken.mp4"},
        {(dir / "clip.avi").string() + " --models " + (dir / "empty_models").string(), "cannot load the models"},
        {(dir / "clip.avi").string() + " --module " + (dir / "nowhere.so").string(), "nowhere.so"},
        {(dir / "clip.avi").string() + " --frobnicate", "frobnicate"},
        {(dir / "clip.avi").string() + " --threshold 7", "threshold"},
        {(dir / "clip.avi").string() + " --threshold nan", "threshold"},
        {(dir / "clip.avi").string() + " --threshold inf", "threshold"},
        {(dir / "clip.avi").string() + " --quiet-time nan", "quiet-time"},
        {(dir / "clip.avi").string() + " --quiet-time -1", "quiet-time"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto o = RunProgram(c.args + " --quiet -o " + output, dir);
        EXPECT_NE(o.status, 0);
        EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(output));
        EXPECT_FALSE(fs::exists(dir / "result.part.jsonl"));
    }
}

TEST_F(WeaponDetectTest, TwoInputsAreTwoCamerasWithTheirOwnDetectors) {
    WriteSceneVideo(dir / "gate.avi", 60, 90);
    WriteSceneVideo(dir / "hall.avi", 100, 130);
    const auto o = RunProgram((dir / "gate.avi").string() + " " + (dir / "hall.avi").string() +
                                  " --quiet --camera-id north --camera-id south -o " +
                                  (dir / "out.jsonl").string(),
                              dir);
    ASSERT_EQ(o.status, 0) << o.err;
    std::map<std::string, int> frames;
    std::map<std::string, int> minX;
    for (const auto& record : ReadLines(dir / "out.jsonl")) {
        if (record["type"] != "frame") continue;
        const std::string camera = record["camera"];
        ++frames[camera];
        const int x = record["detections"][0]["box"]["x"];
        minX[camera] = frames[camera] == 1 ? x : std::min(minX[camera], x);
    }
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_GT(frames["north"], 10);
    EXPECT_GT(frames["south"], 10);
    // Each camera reports its own weapon: the person is further right in the later clip.
    EXPECT_LT(minX["north"], 700);
    EXPECT_GT(minX["south"], 700);
}

TEST_F(WeaponDetectTest, ImageSequenceIsOneCameraNamedAfterItsPattern) {
    fs::create_directories(dir / "frames");
    const DemoScene scene;
    cv::Mat frame;
    for (int i = 0; i < 12; ++i) {
        scene.Render(60 + i, frame);
        char name[32];
        std::snprintf(name, sizeof name, "lobby_%03d.png", i);
        ASSERT_TRUE(cv::imwrite((dir / "frames" / name).string(), frame));
    }
    const auto o = RunProgram((dir / "frames" / "lobby_%03d.png").string() + " --quiet", dir);
    ASSERT_EQ(o.status, 0) << o.err;
    std::istringstream lines(o.out);
    std::string line;
    int frames = 0;
    while (std::getline(lines, line)) {
        const auto record = nlohmann::json::parse(line);
        EXPECT_EQ(record["camera"], "lobby");
        frames += record["type"] == "frame";
    }
    EXPECT_GT(frames, 0) << "the weapon is found in the sequence";
}

TEST_F(WeaponDetectTest, InterruptStopsCleanlyWithOutputsComplete) {
    WriteSceneVideo(dir / "long.avi", 0, DemoScene::kFrames);
    const std::string output = (dir / "out.jsonl").string();
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        freopen("/dev/null", "w", stderr);
        execl(WEAPON_DETECT, WEAPON_DETECT, (dir / "long.avi").c_str(), "--quiet", "-o", output.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    // Interrupt once the program is under way: its output exists as a part file.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!fs::exists(dir / "out.part.jsonl") && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    kill(child, SIGINT);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    ASSERT_TRUE(fs::exists(output)) << "stopped cleanly: the output is closed and complete";
    for (const auto& record : ReadLines(output)) EXPECT_TRUE(record.contains("type"));
}
