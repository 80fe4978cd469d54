// Running the host program from tests: a child process with bounded waits, its outputs
// read back, and demo-scene clips to feed it.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "demo/demo_scene.h"

namespace program_test {

namespace fs = std::filesystem;
using zrv::demo::DemoScene;

// The program's command line for a started process, with the options every run gets from the
// environment (the ThreadSanitizer run sets OpenCV's threads to one).
inline std::vector<std::string> Program(std::vector<std::string> args) {
    std::vector<std::string> argv{WEAPON_DETECT};
    if (const char* extra = std::getenv("WEAPON_DETECT_EXTRA_ARGS")) {
        std::istringstream words(extra);
        for (std::string w; words >> w;) argv.push_back(w);
    }
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// A variable of the environment of the processes started while it lives.
struct ScopedEnv {
    ScopedEnv(const char* name, const std::string& value) : name_(name) { setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    const char* name_;
};

// A whole file as it is now; empty when it cannot be read.
inline std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs the program with `args` (already quoted for the shell). `prefix` runs in the same
// shell first (limits), `stdoutTo` replaces the capture of standard output.
inline Outcome RunProgram(const std::string& args, const fs::path& scratch, const std::string& prefix = "",
                          const std::string& stdoutTo = "") {
    const fs::path out = scratch / "stdout.txt", err = scratch / "stderr.txt";
    // Options every run gets, from the environment (the ThreadSanitizer run sets OpenCV's
    // threads to one).
    const char* extra = std::getenv("WEAPON_DETECT_EXTRA_ARGS");
    const std::string command = prefix + std::string(WEAPON_DETECT) + " " + (extra ? extra : "") + " " + args + " " +
                                (stdoutTo.empty() ? "> " + out.string() : stdoutTo) + " 2> " + err.string();
    Outcome o;
    const int raw = std::system(command.c_str());
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream so(out), se(err);
    o.out.assign(std::istreambuf_iterator<char>(so), {});
    o.err.assign(std::istreambuf_iterator<char>(se), {});
    return o;
}

inline std::vector<nlohmann::json> ReadLines(const fs::path& path) {
    std::vector<nlohmann::json> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) records.push_back(nlohmann::json::parse(line));
    return records;
}

// Complete JSON lines in a file that may still be written or was cut short by a crash.
inline int ReadLinesSoFar(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    int complete = 0;
    while (std::getline(in, line)) complete += nlohmann::json::accept(line);
    return complete;
}

// The complete JSON lines of a stream still being written (a line being written is left out).
inline std::vector<nlohmann::json> RecordsIn(std::istream& in) {
    std::vector<nlohmann::json> records;
    std::string line;
    while (std::getline(in, line)) {
        if (nlohmann::json::accept(line)) records.push_back(nlohmann::json::parse(line));
    }
    return records;
}

inline std::vector<nlohmann::json> RecordsSoFar(const fs::path& path) {
    std::ifstream in(path);
    return RecordsIn(in);
}

// The records of a JSON Lines output written so far: from its part file
// (`out.jsonl` -> `out.part.jsonl`) while the run writes it, from the output itself once
// committed.
inline std::vector<nlohmann::json> OutputSoFar(const fs::path& output) {
    const fs::path part = output.parent_path() / (output.stem().string() + ".part" + output.extension().string());
    // The part first: once it is gone, the output holds everything it held.
    std::ifstream in(part);
    if (!in) in.open(output);
    return RecordsIn(in);
}

inline int CountRecords(const std::vector<nlohmann::json>& records, const std::string& type) {
    int n = 0;
    for (const auto& r : records) n += r["type"] == type;
    return n;
}

inline cv::Rect Box(const nlohmann::json& b) {
    return {b["x"].get<int>(), b["y"].get<int>(), b["width"].get<int>(), b["height"].get<int>()};
}

inline void WriteSceneVideo(const fs::path& path, int from, int to) {
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

// A small MJPEG file of `frames` frames (a moving disc): with the steady module's delay, its
// length sets how long a run lasts.
inline void WriteSmallVideo(const fs::path& path, int frames) {
    cv::VideoWriter writer(path.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, cv::Size(320, 240));
    ASSERT_TRUE(writer.isOpened());
    cv::Mat frame(240, 320, CV_8UC3);
    for (int i = 0; i < frames; ++i) {
        frame.setTo(cv::Scalar::all(i % 200));
        cv::circle(frame, {i % 320, 120}, 20, cv::Scalar(0, 0, 255), -1);
        writer.write(frame);
    }
}

class WeaponDetectTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("weapon_detect_" + std::to_string(::getpid()) + "_" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    // KEEP_TEST_DIR=1 keeps the scratch folder (logs, outputs) to look at after a failure.
    void TearDown() override {
        if (!std::getenv("KEEP_TEST_DIR")) fs::remove_all(dir);
    }
    fs::path dir;
};

// Starts the program with `args` in a child process; standard error goes to `errorTo`, or to
// /dev/null when none is given.
inline pid_t StartProgram(const std::vector<std::string>& args, const fs::path& errorTo = {}) {
    const pid_t parent = getpid();
    const pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test that started it
        if (getppid() != parent) _exit(125);
        if (!freopen(errorTo.empty() ? "/dev/null" : errorTo.c_str(), "w", stderr)) _exit(126);
        std::vector<char*> argv{const_cast<char*>(WEAPON_DETECT)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(WEAPON_DETECT, argv.data());
        _exit(127);
    }
    return child;
}

// Waits at most `limit` for the child; kills it and reports -1 when it does not end.
// `usage`, when given, receives the child's resource usage (peak memory).
inline int WaitFor(pid_t child, std::chrono::seconds limit, struct rusage* usage = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    struct rusage ignored {};
    while (wait4(child, &status, WNOHANG, usage ? usage : &ignored) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// True once a thread of process `pid` sleeps in opening a FIFO that has no writer, within a
// minute. The kernel names where a thread sleeps in /proc/<pid>/task/<tid>/wchan.
inline bool WaitUntilBlockedInFifoOpen(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    while (std::chrono::steady_clock::now() < deadline) {
        std::error_code error;
        for (const auto& task : fs::directory_iterator(tasks, error)) {
            std::ifstream in(task.path() / "wchan");
            std::string where;
            if (std::getline(in, where) && where == "wait_for_partner") return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// Waits until `condition` holds, at most a minute.
template <typename F>
inline bool Eventually(F condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace program_test
