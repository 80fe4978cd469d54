// The host program end to end: the demo, bad input, several cameras, Ctrl-C.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "demo/demo_scene.h"
#include "program_harness.h"

namespace fs = std::filesystem;
using zrv::demo::DemoScene;
using namespace program_test;


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
    nlohmann::json evaluation;
    for (const auto& record : ReadLines(dir / "detections.jsonl")) {
        if (record["type"] == "event") {
            ++events;
            EXPECT_TRUE(fs::exists(record["snapshot"].get<std::string>()));
            continue;
        }
        if (record["type"] == "evaluation") {
            evaluation = record;
            continue;
        }
        const auto& t = truth.at(record["frame"].get<long long>());
        // A weapon partly out of the frame is still a weapon.
        ASSERT_GT(t.weapon.area(), 0) << "a detection where the scene has no weapon: " << record;
        for (const auto& d : record["detections"]) {
            EXPECT_EQ(d["class_name"], "handgun");
            EXPECT_GT((Box(d["box"]) & t.weapon).area(), 0) << record;
            EXPECT_EQ(d["info"], "Detection Score Threshold:0.500000");
        }
        ++matched;
    }
    EXPECT_GT(matched, visible * 9 / 10) << "visible in " << visible << " frames";
    EXPECT_EQ(events, 1);
    // The demo scores itself against the ground truth it wrote beside its video.
    EXPECT_TRUE(fs::exists(dir / "demo_scene.gt.txt"));
    ASSERT_FALSE(evaluation.is_null());
    EXPECT_EQ(evaluation["precision"], 1.0);
    EXPECT_GT(evaluation["recall"].get<double>(), 0.9);
    EXPECT_EQ(evaluation["events_matched"], 1);
    EXPECT_EQ(evaluation["tracks_found"], 1);
    EXPECT_NE(o.err.find("precision  recall"), std::string::npos) << "the table";
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

TEST_F(WeaponDetectTest, StopSignalsEndTheRunCleanlyWithOutputsComplete) {
    WriteSceneVideo(dir / "long.avi", 0, DemoScene::kFrames);
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        const fs::path output = dir / "out.jsonl", part = dir / "out.part.jsonl";
        fs::remove(output);
        const pid_t child = StartProgram({(dir / "long.avi").string(), "--quiet", "-o", output.string()});
        ASSERT_GT(child, 0);
        // Signal once the program is under way: it has written a record to its part file.
        ASSERT_TRUE(Eventually([&] { std::error_code e; return fs::file_size(part, e) > 0 && !e; }));
        if (signal == SIGINT) {
            // SIGHUP reloads the page's certificate: without one it does nothing, the run goes on.
            std::error_code e;
            const auto size = fs::file_size(part, e);
            kill(child, SIGHUP);
            ASSERT_TRUE(Eventually([&] {
                std::error_code again;
                return fs::file_size(part, again) > size;
            })) << "the run went on after SIGHUP";
        }
        kill(child, signal);
        EXPECT_EQ(WaitFor(child, std::chrono::seconds(60)), 130);
        ASSERT_TRUE(fs::exists(output)) << "stopped cleanly: the output is closed and complete";
        EXPECT_FALSE(fs::exists(part));
        const auto records = ReadLines(output);
        EXPECT_FALSE(records.empty());
        for (const auto& record : records) EXPECT_TRUE(record.contains("type"));
    }
}

TEST_F(WeaponDetectTest, StopSignalsEndARunWhoseInputBlocks) {
    // A FIFO that nobody writes blocks whoever opens it for reading.
    const fs::path fifo = dir / "never.fifo", part = dir / "out.part.jsonl";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signal));
        const pid_t child = StartProgram({fifo.string(), "--quiet", "-o", (dir / "out.jsonl").string()});
        ASSERT_GT(child, 0);
        // Signalled once the input's thread sleeps in opening the FIFO.
        ASSERT_TRUE(WaitUntilBlockedInFifoOpen(child)) << "the program never blocked in opening the FIFO";
        ASSERT_TRUE(fs::exists(part)) << "the part file is made before the inputs are opened";
        kill(child, signal);
        EXPECT_EQ(WaitFor(child, std::chrono::seconds(10)), 130) << "the signal must not wait for the input";
        EXPECT_FALSE(fs::exists(part));
        EXPECT_FALSE(fs::exists(dir / "out.jsonl"));
    }
}

TEST_F(WeaponDetectTest, OutputsNeverReplaceInputsDevicesOrLinks) {
    WriteSceneVideo(dir / "clip.avi", 60, 70);
    const auto clipSize = fs::file_size(dir / "clip.avi");
    ASSERT_EQ(mkfifo((dir / "pipe.mp4").c_str(), 0600), 0);
    std::ofstream(dir / "real.jsonl") << "old\n";
    fs::create_symlink(dir / "real.jsonl", dir / "link.jsonl");
    const std::string clip = (dir / "clip.avi").string();
    const struct {
        std::string args;
        int status;
        std::string mentions;
    } cases[] = {
        {clip + " -o " + clip, 1, "is the input"},
        {clip + " --video " + clip, 1, "is the input"},
        {clip + " --video " + (dir / "." / "clip.avi").string(), 1, "is the input"},
        {clip + " -o " + (dir / "same.mp4").string() + " --video " + (dir / "same.mp4").string(), 1, "given twice"},
        {clip + " --video " + (dir / "pipe.mp4").string(), 1, "not a file"},
        {clip + " -o /dev/null", 0, ""},
        {clip + " -o " + (dir / "link.jsonl").string(), 0, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const auto o = RunProgram(c.args + " --quiet", dir);
        EXPECT_EQ(o.status, c.status) << o.err;
        if (!c.mentions.empty()) {
            EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
        }
        EXPECT_EQ(fs::file_size(dir / "clip.avi"), clipSize) << "the input is untouched";
        EXPECT_TRUE(fs::is_fifo(dir / "pipe.mp4"));
        EXPECT_TRUE(fs::is_character_file("/dev/null"));
        EXPECT_TRUE(fs::is_symlink(dir / "link.jsonl"));
        EXPECT_FALSE(fs::exists(dir / "same.mp4"));
    }
    // Through the link, the file it points to got the records.
    const auto records = ReadLines(dir / "real.jsonl");
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0]["type"], "frame");
}

TEST_F(WeaponDetectTest, LostOutputIsAFailureNeverASuccess) {
    WriteSceneVideo(dir / "clip.avi", 60, 90);
    const std::string clip = (dir / "clip.avi").string();
    const std::string video = (dir / "annotated.mp4").string();
    const struct {
        std::string name, args, prefix, stdoutTo, mentions;
    } cases[] = {
        {"standard output full", clip, "", "> /dev/full", "cannot write standard output"},
        {"standard output closed", clip, "", ">&-", "cannot write standard output"},
        // A file-size limit stands in for a full disk; its signal is ignored, so writes fail.
        {"disk full under the video", clip + " -o " + (dir / "o.jsonl").string() + " --video " + video,
         "trap \"\" XFSZ; ulimit -f 64; ", "", "annotated.mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto o = RunProgram(c.args + " --quiet", dir, c.prefix, c.stdoutTo);
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(video)) << "no truncated video under its final name";
        EXPECT_FALSE(fs::exists(dir / "annotated.part.mp4"));
    }
}

TEST_F(WeaponDetectTest, HostileTextAndSizesKeepTheRunGoing) {
    // An image sequence whose frames change size, with an annotated video.
    fs::create_directories(dir / "frames");
    const DemoScene scene;
    cv::Mat frame, small;
    for (int i = 0; i < 6; ++i) {
        scene.Render(60 + i, frame);
        if (i % 2) cv::resize(frame, small, {}, 0.5, 0.5), frame = small;
        char name[32];
        std::snprintf(name, sizeof name, "f_%03d.png", i);
        ASSERT_TRUE(cv::imwrite((dir / "frames" / name).string(), frame));
    }
    const std::string sequence = (dir / "frames" / "f_%03d.png").string();
    auto o = RunProgram(sequence + " --quiet --video " + (dir / "seq.avi").string(), dir);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(fs::exists(dir / "seq.avi"));

    // A camera id that is not UTF-8 and tries to leave the snapshot folder.
    WriteSceneVideo(dir / "clip.avi", 60, 100);
    o = RunProgram((dir / "clip.avi").string() + " --quiet --quiet-time 0 --camera-id \"../../caf\xe9\" --snapshots " +
                       (dir / "snaps").string(),
                   dir);
    ASSERT_EQ(o.status, 0) << o.err;
    std::istringstream lines(o.out);
    std::string line;
    int events = 0;
    while (std::getline(lines, line)) {
        const auto record = nlohmann::json::parse(line);  // valid JSON: bad bytes replaced
        if (record["type"] != "event") continue;
        ++events;
        const fs::path snapshot = record["snapshot"].get<std::string>();
        EXPECT_EQ(snapshot.parent_path(), dir / "snaps") << snapshot;
        EXPECT_TRUE(fs::exists(snapshot));
    }
    EXPECT_GT(events, 0);
    for (const fs::path& outside : {dir, dir.parent_path()}) {
        for (const auto& entry : fs::directory_iterator(outside)) {
            EXPECT_EQ(entry.path().filename().string().find("caf"), std::string::npos) << entry.path();
        }
    }
}

TEST_F(WeaponDetectTest, NoOutputReplacesAFileTheRunReads) {
    WriteSceneVideo(dir / "clip.avi", 60, 70);
    fs::create_directories(dir / "models");
    fs::create_directories(dir / "frames");
    const DemoScene scene;
    cv::Mat frame;
    for (int i = 0; i < 3; ++i) {
        scene.Render(60 + i, frame);
        ASSERT_TRUE(cv::imwrite((dir / "frames" / ("f_00" + std::to_string(i) + ".png")).string(), frame));
    }
    const std::map<std::string, std::string> keep = {
        {"clip.gt.txt", "1,1,10,10,20,20\n"},
        {"site.yaml", "cameras:\n  - input: " + (dir / "clip.avi").string() + "\n"},
        {"models/classes.names", "handgun\n"},
        {"models/train_last.onnx", "not really a model"},
    };
    for (const auto& [name, text] : keep) std::ofstream(dir / name) << text;
    fs::create_hard_link(dir / "clip.gt.txt", dir / "hard.gt.txt");
    const std::string clip = (dir / "clip.avi").string(), gt = (dir / "clip.gt.txt").string();
    const std::string common = " --module " STEADY_MODULE " --quiet";
    const struct {
        std::string name, args;
    } cases[] = {
        {"ground truth as -o", clip + " --ground-truth " + gt + " -o " + gt},
        {"ground truth through a hard link", clip + " --ground-truth " + gt + " -o " + (dir / "hard.gt.txt").string()},
        {"ground truth as the video", clip + " --ground-truth " + gt + " --video " + (dir / "." / "clip.gt.txt").string()},
        {"site config as -o", "--config " + (dir / "site.yaml").string() + " -o " + (dir / "site.yaml").string()},
        {"class file as -o", clip + " --models " + (dir / "models").string() + " -o " +
                                 (dir / "models" / "classes.names").string()},
        {"model as the video", clip + " --models " + (dir / "models").string() + " --video " +
                                   (dir / "models" / "train_last.onnx").string()},
        {"sequence frame as -o", (dir / "frames" / "f_%03d.png").string() + " -o " + (dir / "frames" / "f_001.png").string()},
        {"module as -o", clip + " -o " STEADY_MODULE},
    };
    const auto before = [&] {
        std::map<std::string, uintmax_t> sizes;
        for (const auto& entry : fs::recursive_directory_iterator(dir)) {
            if (entry.is_regular_file()) sizes[entry.path().string()] = entry.file_size();
        }
        sizes[STEADY_MODULE] = fs::file_size(STEADY_MODULE);
        return sizes;
    };
    const auto sizes = before();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto o = RunProgram(c.args + common, dir);
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.err.find("which this run reads"), std::string::npos) << o.err;
        for (const auto& [path, size] : sizes) {
            if (fs::path(path).parent_path() == dir && fs::path(path).extension() == ".txt" &&
                fs::path(path).stem().string().rfind("std", 0) == 0) {
                continue;  // the harness's own captures
            }
            ASSERT_TRUE(fs::exists(path)) << path;
            EXPECT_EQ(fs::file_size(path), size) << path;
        }
    }
}

namespace {
// The snapshots (and clips) in `folder`, by size; the event history beside them, which every
// run adds to, is left out.
std::map<std::string, uintmax_t> FilesIn(const fs::path& folder) {
    std::map<std::string, uintmax_t> files;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        if (entry.path().filename().string().rfind("events.db", 0) == 0) continue;
        files[entry.path().string()] = entry.file_size();
    }
    return files;
}
}  // namespace

TEST_F(WeaponDetectTest, RecordsSurviveACrashAndARestart) {
    WriteSceneVideo(dir / "long.avi", 0, 150);
    WriteSceneVideo(dir / "short.avi", 60, 70);
    setenv("STEADY_MODULE_DELAY_MS", "40", 1);
    const fs::path snaps = dir / "snaps";
    auto killMidway = [&](const std::vector<std::string>& args, const fs::path& growing) {
        const pid_t child = StartProgram(args);
        ASSERT_GT(child, 0);
        ASSERT_TRUE(Eventually([&] { return ReadLinesSoFar(growing) >= 5 && FilesIn(snaps).size() >= 2; }));
        kill(child, SIGKILL);
        EXPECT_EQ(WaitFor(child, std::chrono::seconds(10)), -1);
    };
    const std::vector<std::string> common{"--module", STEADY_MODULE, "--quiet", "--quiet-time", "0", "--snapshots",
                                          snaps.string()};

    // A run on the command line: its part file is kept under a name that says so.
    auto args = common;
    args.insert(args.end(), {(dir / "long.avi").string(), "-o", (dir / "out.jsonl").string()});
    killMidway(args, dir / "out.part.jsonl");
    const auto firstSnapshots = FilesIn(snaps);
    unsetenv("STEADY_MODULE_DELAY_MS");
    auto o = RunProgram((dir / "short.avi").string() + " -o " + (dir / "out.jsonl").string() +
                            " --module " STEADY_MODULE " -q --quiet-time 0 --snapshots " + snaps.string(),
                        dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("left by a run that did not finish"), std::string::npos) << o.err;
    fs::path recovered;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().rfind("out.recovered-", 0) == 0) recovered = entry.path();
    }
    ASSERT_FALSE(recovered.empty()) << o.err;
    EXPECT_EQ(recovered.extension(), ".jsonl");
    EXPECT_GE(ReadLinesSoFar(recovered), 5);
    EXPECT_FALSE(fs::exists(dir / "out.part.jsonl"));
    EXPECT_FALSE(ReadLines(dir / "out.jsonl").empty());
    // Every snapshot of the killed run is still there, as it was, beside the new ones.
    const auto allSnapshots = FilesIn(snaps);
    for (const auto& [path, size] : firstSnapshots) {
        ASSERT_TRUE(allSnapshots.count(path)) << path;
        EXPECT_EQ(allSnapshots.at(path), size) << path;
    }
    EXPECT_GT(allSnapshots.size(), firstSnapshots.size());

    // A service (a config file) appends to its log: the killed run's records stay in it.
    std::ofstream(dir / "site.yaml") << "output: " << (dir / "log.jsonl").string() << "\ncameras:\n  - input: "
                                     << (dir / "long.avi").string() << "\n    id: gate\n";
    setenv("STEADY_MODULE_DELAY_MS", "40", 1);
    args = common;
    args.insert(args.end(), {"--config", (dir / "site.yaml").string()});
    killMidway(args, dir / "log.jsonl");
    unsetenv("STEADY_MODULE_DELAY_MS");
    const int before = ReadLinesSoFar(dir / "log.jsonl");
    o = RunProgram("--config " + (dir / "site.yaml").string() + " --max-frames 10 --module " STEADY_MODULE " -q", dir);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_GT(ReadLinesSoFar(dir / "log.jsonl"), before);
    EXPECT_FALSE(fs::exists(dir / "log.part.jsonl"));
}

TEST_F(WeaponDetectTest, FilesItReadsAreRegularAndBounded) {
    WriteSceneVideo(dir / "clip.avi", 60, 70);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    std::ofstream(dir / "long-line.txt") << "1,1,10,10,20,20" << std::string(5000, ' ') << "\n";
    {
        std::ofstream huge(dir / "huge.txt");
        huge.seekp((std::streamoff{1} << 30) - 1);  // sparse: takes no disk space
        huge << '\n';
    }
    fs::create_directories(dir / "models");
    std::ofstream(dir / "models" / "train_last.onnx") << "x";
    ASSERT_EQ(mkfifo((dir / "models" / "classes.names").c_str(), 0600), 0);
    fs::create_directories(dir / "folder-models" / "train_last.onnx");
    std::ofstream(dir / "folder-models" / "classes.names") << "handgun\n";
    const std::string clip = (dir / "clip.avi").string();
    const std::string run = clip + " --module " STEADY_MODULE " -q -o " + (dir / "o.jsonl").string();
    const struct {
        std::string name, args, mentions;
        int status;
    } cases[] = {
        {"ground truth FIFO", run + " --ground-truth " + (dir / "fifo").string(), "not a regular file", 1},
        {"ground truth /dev/zero", run + " --ground-truth /dev/zero", "not a regular file", 1},
        {"ground truth too large", run + " --ground-truth " + (dir / "huge.txt").string(), "larger than 64 MB", 1},
        {"ground truth line too long", run + " --ground-truth " + (dir / "long-line.txt").string(),
         "long-line.txt:1: line longer than 4096 bytes", 1},
        {"config FIFO", "--config " + (dir / "fifo").string(), "not a regular file", 2},
        {"config /dev/zero", "--config /dev/zero", "not a regular file", 2},
        {"config too large", "--config " + (dir / "huge.txt").string(), "larger than 4 MB", 2},
        {"class file FIFO", run + " --models " + (dir / "models").string(), "classes.names: not a regular file", 1},
        {"model file a folder", run + " --models " + (dir / "folder-models").string(),
         "train_last.onnx: is a folder, not a file", 1},
        {"config a folder", "--config " + (dir / "folder-models").string(), "is actually a directory", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Bounded: a read that blocks or never ends is stopped by timeout (status 124).
        const auto o = RunProgram(c.args, dir, "timeout -s KILL 60 ");
        EXPECT_EQ(o.status, c.status) << o.err;
        EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
        EXPECT_FALSE(fs::exists(dir / "o.jsonl"));
    }
}

TEST_F(WeaponDetectTest, OptionsTakeOneValueAndNeverRunTheDemoInstead) {
    WriteSceneVideo(dir / "gate.avi", 60, 70);
    WriteSceneVideo(dir / "hall.avi", 60, 70);
    std::ofstream(dir / "gate.gt.txt") << "1,1,10,10,20,20\n";
    const std::string gate = (dir / "gate.avi").string(), hall = (dir / "hall.avi").string();
    const std::string out = (dir / "out.jsonl").string();
    const std::string module = " --module " STEADY_MODULE " -q";
    const struct {
        std::string name, args;
        int status;
        std::vector<std::string> cameras;  // for a run that goes: the cameras in its records
        std::string mentions;              // for a refused one
    } cases[] = {
        {"options before the input", "--ground-truth " + (dir / "gate.gt.txt").string() + " " + gate + " -o " + out, 0,
         {"gate"}, ""},
        {"an id before each input", "--camera-id north " + gate + " --camera-id south " + hall + " -o " + out, 0,
         {"north", "south"}, ""},
        {"the demo with an input", "--demo " + gate, 2, {}, "give it no input"},
        {"options without an input", "-o " + out, 2, {}, "no input given"},
        {"stride 0", gate + " --stride 0", 2, {}, "not in range 1 to 100000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(out);
        const auto o = RunProgram(c.args + module, dir);
        EXPECT_EQ(o.status, c.status) << o.err;
        EXPECT_EQ(o.err.find("demo scene to"), std::string::npos) << "the demo never runs instead: " << o.err;
        if (c.status != 0) {
            EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
            EXPECT_LT(o.err.size(), 300u) << "one short message";
            continue;
        }
        std::set<std::string> cameras;
        for (const auto& r : ReadLines(out)) cameras.insert(r["camera"].get<std::string>());
        EXPECT_EQ(cameras, std::set<std::string>(c.cameras.begin(), c.cameras.end()));
    }
}

TEST_F(WeaponDetectTest, OutputsKeepLinksModesAndStayClean) {
    WriteSceneVideo(dir / "clip.avi", 60, 90);
    const std::string clip = (dir / "clip.avi").string();
    // A dangling link: the file it names is made, the link stays.
    fs::create_directories(dir / "logs");
    fs::create_symlink(dir / "logs" / "records.jsonl", dir / "link.jsonl");
    // An existing output readable by its owner only stays so.
    std::ofstream(dir / "private.jsonl") << "old\n";
    fs::permissions(dir / "private.jsonl", fs::perms::owner_read | fs::perms::owner_write);
    const struct {
        std::string name, args, shell;
        fs::path records;
        int least;
    } cases[] = {
        {"dangling link", clip + " -o " + (dir / "link.jsonl").string(), "", dir / "logs" / "records.jsonl", 1},
        {"private file", clip + " -o " + (dir / "private.jsonl").string(), "", dir / "private.jsonl", 1},
        // With standard error closed, the plug-in's console line must not land in the output
        // (one frame without a detection: no record would cover it up).
        {"standard error closed", clip + " --max-frames 1 -o " + (dir / "closed.jsonl").string(), " 2>&-",
         dir / "closed.jsonl", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string command = std::string(WEAPON_DETECT) + " " + c.args + " -q" + c.shell +
                                    (c.shell.empty() ? " 2>" + (dir / "err.txt").string() : "");
        const int raw = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(raw));
        EXPECT_EQ(WEXITSTATUS(raw), 0);
        std::ifstream in(c.records);
        std::string line;
        int records = 0;
        while (std::getline(in, line)) {
            EXPECT_TRUE(nlohmann::json::accept(line)) << line;
            ++records;
        }
        EXPECT_GE(records, c.least);
        EXPECT_TRUE(fs::exists(c.records));
    }
    EXPECT_TRUE(fs::is_symlink(dir / "link.jsonl"));
    EXPECT_EQ(fs::status(dir / "private.jsonl").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(WeaponDetectTest, InputThatEndsEarlySaysWhereAndWhy) {
    const DemoScene scene;
    cv::Mat frame;
    for (const std::string folder : {"missing", "corrupt"}) {
        fs::create_directories(dir / folder);
        for (int i = 0; i < 6; ++i) {
            scene.Render(60 + i, frame);
            ASSERT_TRUE(cv::imwrite((dir / folder / ("f_00" + std::to_string(i) + ".png")).string(), frame));
        }
    }
    fs::remove(dir / "missing" / "f_003.png");
    std::ofstream(dir / "corrupt" / "f_003.png", std::ios::trunc) << "not an image";
    WriteSceneVideo(dir / "whole.avi", 60, 100);
    fs::copy_file(dir / "whole.avi", dir / "cut.avi");
    fs::resize_file(dir / "cut.avi", fs::file_size(dir / "whole.avi") / 2);
    const struct {
        std::string input, mentions;
    } cases[] = {
        {(dir / "missing" / "f_%03d.png").string(), "ended after 3 of 5 frames: frame 3 is missing"},
        {(dir / "corrupt" / "f_%03d.png").string(), "ended after 3 of 6 frames: frame 3 cannot be read"},
        {(dir / "cut.avi").string(), "of 40 frames: the rest cannot be read"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        const auto o = RunProgram(c.input + " --module " STEADY_MODULE " -q -o " + (dir / "out.jsonl").string(), dir);
        EXPECT_EQ(o.status, 1) << o.err;
        EXPECT_NE(o.err.find(c.mentions), std::string::npos) << o.err;
        std::vector<std::string> errors;
        for (const auto& r : ReadLines(dir / "out.jsonl")) {
            if (r["type"] == "error") errors.push_back(r["reason"]);
        }
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.mentions), std::string::npos) << errors[0];
    }
}

TEST_F(WeaponDetectTest, TwoRunsNeverWriteOneOutput) {
    WriteSceneVideo(dir / "clip.avi", 0, 100);
    setenv("STEADY_MODULE_DELAY_MS", "40", 1);
    const fs::path part = dir / "out.part.jsonl";
    const pid_t first = StartProgram({(dir / "clip.avi").string(), "--module", STEADY_MODULE, "-q", "-o",
                                      (dir / "out.jsonl").string()});
    ASSERT_GT(first, 0);
    ASSERT_TRUE(Eventually([&] { return ReadLinesSoFar(part) > 0; }));
    unsetenv("STEADY_MODULE_DELAY_MS");
    // The first run's part file is not a leftover: the second run is refused, and leaves it.
    const auto o = RunProgram((dir / "clip.avi").string() + " --module " STEADY_MODULE " -q -o " +
                                  (dir / "out.jsonl").string(),
                              dir);
    EXPECT_EQ(o.status, 1);
    EXPECT_NE(o.err.find("another run is writing it"), std::string::npos) << o.err;
    EXPECT_EQ(WaitFor(first, std::chrono::seconds(60)), 0);
    EXPECT_GT(ReadLines(dir / "out.jsonl").size(), 10u);
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename().string().find("recovered"), std::string::npos) << entry.path();
    }
}
