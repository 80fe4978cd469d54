// A long run of the host program: twenty thousand frames through every output (records,
// alarm events with snapshots, the annotated video) with a model-free module, so that the
// host's own per-frame path is what runs. Under the address-sanitizer build the leak
// checker sees the whole run; in the normal build the peak memory of the long run must
// match that of a run a tenth as long.
#include <sys/resource.h>

#include <cstdio>

#include <opencv2/imgproc.hpp>

#include "program_harness.h"

using namespace program_test;

namespace {
// Peak resident memory, in MB, of the host program over `frames` frames of `clip`.
double PeakMegabytes(const fs::path& clip, long frames, const fs::path& out) {
    fs::remove_all(out);
    fs::create_directories(out);
    const pid_t child = StartProgram({clip.string(), "--module", STEADY_MODULE, "--quiet", "--max-frames",
                                      std::to_string(frames), "--quiet-time", "0.2", "-o", (out / "r.jsonl").string(),
                                      "--video", (out / "v.avi").string(), "--snapshots", (out / "snaps").string()},
                                     out / "stderr.txt");
    struct rusage usage {};
    const int status = WaitFor(child, std::chrono::seconds(600), &usage);
    // The sanitizers' reports go to standard error: the end of it says what went wrong.
    const std::string errors = ReadText(out / "stderr.txt");
    EXPECT_EQ(status, 0) << "the run must end cleanly (and, sanitised, without leaks); its standard error ends:\n"
                         << errors.substr(errors.size() > 6000 ? errors.size() - 6000 : 0);
    return usage.ru_maxrss / 1024.0;
}
}  // namespace

TEST_F(WeaponDetectTest, LongRunKeepsItsMemoryFlat) {
    // A small clip keeps the test quick; its length is all that matters here.
    constexpr long kFrames = 20000;
    const fs::path clip = dir / "long.avi";
    {
        cv::VideoWriter writer(clip.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 25, {96, 64});
        ASSERT_TRUE(writer.isOpened());
        cv::Mat frame(64, 96, CV_8UC3);
        for (long i = 0; i < kFrames; ++i) {
            frame.setTo(cv::Scalar(80, 90, 100));
            cv::circle(frame, {static_cast<int>(i % 96), 32}, 6, cv::Scalar(255, 0, 255), cv::FILLED);
            writer.write(frame);
        }
    }
    const double shortRun = PeakMegabytes(clip, kFrames / 10, dir / "short");
    const double longRun = PeakMegabytes(clip, kFrames, dir / "long");
    std::printf("peak memory: %.1f MB over %ld frames, %.1f MB over %ld\n", shortRun, kFrames / 10, longRun, kFrames);
    const auto records = ReadLines(dir / "long" / "r.jsonl");
    long frameRecords = 0, events = 0;
    for (const auto& r : records) {
        frameRecords += r["type"] == "frame";
        events += r["type"] == "event";
    }
    EXPECT_EQ(frameRecords, kFrames / 3) << "every detection recorded";
    EXPECT_GT(events, 0);
#if !defined(__SANITIZE_ADDRESS__)
    // The sanitizer's quarantine holds freed memory on purpose; only the normal build can
    // tell growth from it.
    EXPECT_LT(longRun - shortRun, 16.0) << "peak " << shortRun << " MB over " << kFrames / 10 << " frames, "
                                        << longRun << " MB over " << kFrames;
#else
    (void)shortRun;
    (void)longRun;
#endif
}
