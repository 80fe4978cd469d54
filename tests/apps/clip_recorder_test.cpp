// The clip recorder's end and the names of event clips, on their own: a stop that hurries
// cuts a long pre-roll to the event's first frame, two threads closing one recorder at once
// both return with the clip made once, and a clip never takes the name of an existing file.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/videoio.hpp>

#include "output/clip_file.h"
#include "output/clip_recorder.h"

namespace fs = std::filesystem;
using namespace weapon_detect;

namespace {

fs::path Scratch(const std::string& name) {
    const fs::path dir = fs::temp_directory_path() / ("clip_recorder_" + std::to_string(getpid()) + "_" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A frame whose grey level tells its index.
cv::Mat Numbered(int index, cv::Size size = {64, 48}) {
    return cv::Mat(size, CV_8UC3, cv::Scalar::all((index * 4) % 250));
}

struct ClipResults {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> done;  // path, error
    ClipRecorder::ClipDone callback() {
        return [this](long long, const std::string& path, const std::string& error) {
            const std::lock_guard<std::mutex> lock(mutex);
            done.emplace_back(path, error);
        };
    }
};

// Frames one second apart for a minute: with a 60 s pre-roll, an event at 60 s begins with
// a minute of video to encode.
void PushAMinute(ClipRecorder& recorder, cv::Size size = {64, 48}) {
    for (int i = 0; i <= 60; ++i) recorder.Push(Numbered(i, size), i);
}

std::vector<double> Greys(const fs::path& clip) {
    cv::VideoCapture in(clip.string());
    std::vector<double> greys;
    cv::Mat frame;
    while (in.read(frame)) greys.push_back(cv::mean(frame)[0]);
    return greys;
}

std::string ReadText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(ClipRecorderEnd, AHurriedStopCutsTheLongPrerollToTheEventsFirstFrame) {
    const struct {
        const char* name;
        bool hurried;
        size_t frames;
        int firstFrame;  // whose grey the clip begins with
    } cases[] = {
        {"waiting for the whole pre-roll", false, 601, 0},  // 0 s to 60 s at 10 fps
        {"hurried from the start", true, 1, 60},            // only the event's own frame
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path dir = Scratch("hurry");
        ClipResults results;
        ClipSettings settings;
        settings.beforeSeconds = 60.0;
        settings.fps = 10.0;
        settings.queuedFrames = 100;  // nothing dropped
        {
            ClipRecorder recorder(settings, results.callback(), nullptr);
            if (c.hurried) recorder.HurryAt(ClipRecorder::Clock::now());
            PushAMinute(recorder);
            ASSERT_TRUE(recorder.Begin(60, (dir / "event.mp4").string(), 60.0));
            recorder.End(60, 60.0);
            recorder.EndInput();
            ASSERT_TRUE(recorder.Wait(ClipRecorder::Clock::now() + std::chrono::minutes(2)));
        }
        ASSERT_EQ(results.done.size(), 1u);
        EXPECT_EQ(results.done[0].second, "");
        const std::vector<double> greys = Greys(dir / "event.mp4");
        ASSERT_EQ(greys.size(), c.frames);
        EXPECT_NEAR(greys.front(), c.firstFrame * 4, 6);
        EXPECT_NEAR(greys.back(), 60 * 4, 6);
        fs::remove_all(dir);
    }
}

TEST(ClipRecorderEnd, ClosedFromTwoThreadsAtOnceBothReturnAndTheClipIsMadeOnce) {
    // The camera's worker and the main thread both end the clips of a camera whose pre-roll
    // is still being encoded.
    const fs::path dir = Scratch("twice");
    ClipResults results;
    ClipSettings settings;
    settings.beforeSeconds = 60.0;
    settings.queuedFrames = 100;
    auto recorder = std::make_unique<ClipRecorder>(settings, results.callback(), nullptr);
    PushAMinute(*recorder, {320, 240});
    ASSERT_TRUE(recorder->Begin(60, (dir / "event.mp4").string(), 60.0));
    auto first = std::async(std::launch::async, [&] { recorder->Close(); });
    auto second = std::async(std::launch::async, [&] { recorder->Close(); });
    const auto limit = std::chrono::minutes(2);
    if (first.wait_for(limit) != std::future_status::ready || second.wait_for(limit) != std::future_status::ready) {
        // A thread stuck in a join cannot be taken back: end here rather than hang the suite.
        std::fprintf(stderr, "a Close() did not return in 2 minutes\n");
        std::abort();
    }
    recorder.reset();
    ASSERT_EQ(results.done.size(), 1u);
    EXPECT_EQ(results.done[0].second, "");
    EXPECT_EQ(Greys(dir / "event.mp4").size(), 1501u);  // 0 s to 60 s at 25 fps
    fs::remove_all(dir);
}

TEST(EventClipName, NeverTheNameOfAFileThatIsThere) {
    const fs::path dir = Scratch("names");
    const std::string stem = (dir / "door_2").string();
    const struct {
        const char* name;
        void (*before)(const std::string& stem);
        const char* clip;  // the name the clip gets
    } cases[] = {
        {"a free name", [](const std::string&) {}, "door_2.mp4"},
        {"a file named like the snapshot", [](const std::string& s) { std::ofstream(s + ".jpg") << "photo"; },
         "door_2-2.mp4"},
        {"a file named like the clip", [](const std::string& s) { std::ofstream(s + ".mp4") << "film"; },
         "door_2-2.mp4"},
        {"a dangling link named like the clip",
         [](const std::string& s) { fs::create_symlink(s + "-elsewhere.mp4", s + ".mp4"); }, "door_2-2.mp4"},
        {"both names taken and the next clip's too",
         [](const std::string& s) {
             std::ofstream(s + ".jpg") << "photo";
             std::ofstream(s + "-2.mp4") << "film";
         },
         "door_2-3.mp4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir);
        fs::create_directories(dir);
        c.before(stem);
        std::vector<std::pair<fs::path, std::string>> there;
        for (const auto& f : fs::directory_iterator(dir)) {
            there.emplace_back(f.path(), f.is_symlink() ? fs::read_symlink(f.path()).string() : ReadText(f.path()));
        }
        auto clip = NewEventClip(stem, 10.0);
        EXPECT_EQ(fs::path(clip->path()).filename(), c.clip);
        clip->Feed(0.0, Numbered(1));
        EXPECT_EQ(clip->Finish(), (dir / c.clip).string());
        EXPECT_EQ(Greys(dir / c.clip).size(), 1u);
        for (const auto& [path, content] : there) {
            const bool link = fs::is_symlink(path);
            EXPECT_EQ(link ? fs::read_symlink(path).string() : ReadText(path), content) << path;
        }
        EXPECT_FALSE(fs::exists(stem + "-elsewhere.mp4")) << "the link was followed";
    }
    {
        SCOPED_TRACE("a clip of the same name still being written by a run going on");
        fs::remove_all(dir);
        fs::create_directories(dir);
        auto going = NewEventClip(stem, 10.0);
        auto clip = NewEventClip(stem, 10.0);
        EXPECT_EQ(fs::path(going->path()).filename(), "door_2.mp4");
        EXPECT_EQ(fs::path(clip->path()).filename(), "door_2-2.mp4");
    }
    {
        SCOPED_TRACE("a file that took the clip's name while it was written");
        fs::remove_all(dir);
        fs::create_directories(dir);
        auto clip = NewEventClip(stem, 10.0);
        clip->Feed(0.0, Numbered(1));
        std::ofstream(stem + ".mp4") << "film";
        EXPECT_EQ(clip->Finish(), stem + "-2.mp4");
        EXPECT_EQ(ReadText(stem + ".mp4"), "film");
    }
    fs::remove_all(dir);
}
