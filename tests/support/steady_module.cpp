// A stand-in plug-in module for long runs of the host program: no models, one weapon
// reported every third frame, sliding across the frame, so that records, events,
// snapshots and the annotated video keep working for as long as the run lasts.
// Environment: STEADY_MODULE_DELAY_MS makes every frame take that long (a detector slower
// than the camera); STEADY_MODULE_BURSTS=1 reports only in the first 10 of every 50 frames,
// so that a run has several alarm events.
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "zrv/ZRVCustomClass.h"

namespace {

class SteadyDetector final : public IZRVCustomClass {
public:
    bool Initialize(const std::string& folder, float threshold, std::string& labels) override {
        _modelDirectory = folder;
        threshold_ = threshold;
        labels = "0 handgun\n";
        return true;
    }
    bool OptimizeModel(bool) override { return true; }
    std::vector<CustomObject> RunInference(const cv::Mat& frame, const std::string& cameraId) override {
        std::vector<CustomObject> results;
        if (delayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
        ++frames_;
        if (frame.empty() || (bursts_ ? frames_ % 50 >= 10 : frames_ % 3 != 0)) return results;
        CustomObject weapon;
        weapon.className = "handgun";
        weapon.confidence = 0.9f;
        const int w = std::max(1, frame.cols / 8), h = std::max(1, frame.rows / 8);
        weapon.box = cv::Rect(static_cast<int>(frames_ % (frame.cols - w)), frame.rows / 2, w, h);
        weapon.cameraId = cameraId;
        weapon.extraInfo = "Detection Score Threshold:" + std::to_string(threshold_);
        results.push_back(std::move(weapon));
        return results;
    }
    std::vector<CustomObject> RunInference(const cv::Mat& frame) override { return RunInference(frame, "CustomCam"); }
    bool ConfigureParameters(CustomParams&) override { return true; }
    bool Destroy() override { return true; }

private:
    static int Setting(const char* name) {
        const char* value = std::getenv(name);
        return value ? std::atoi(value) : 0;
    }
    float threshold_ = 0.5f;
    long long frames_ = 0;
    const int delayMs_ = Setting("STEADY_MODULE_DELAY_MS");
    const bool bursts_ = Setting("STEADY_MODULE_BURSTS") != 0;
};

}  // namespace

extern "C" ZRV_API IZRVCustomClass* Create() { return new SteadyDetector(); }
extern "C" ZRV_API void Release(IZRVCustomClass* detector) { delete static_cast<SteadyDetector*>(detector); }
