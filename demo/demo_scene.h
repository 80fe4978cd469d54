// The synthetic demo scene: a person walking across a textured 1920 x 1080 background,
// carrying a small weapon-like object, with the ground truth of every frame. The demo
// models know its colour cues: weapons are magenta, persons teal.
#pragma once

#include <opencv2/core.hpp>

namespace zrv::demo {

struct SceneTruth {
    bool personVisible = false;
    cv::Rect person;  // full-frame pixels, clipped to the frame
    bool weaponVisible = false;
    cv::Rect weapon;  // full-frame pixels, clipped to the frame
};

class DemoScene {
public:
    static constexpr int kWidth = 1920;
    static constexpr int kHeight = 1080;
    static constexpr int kFrames = 300;
    static constexpr double kFps = 25.0;

    explicit DemoScene(unsigned seed = 7);
    // The same scene at `scale` times the size (2: 3840 x 2160), the weapon kept at its
    // small size, so that it is a smaller share of the frame.
    DemoScene(unsigned seed, int scale);

    cv::Size size() const { return {kWidth * scale_, kHeight * scale_}; }

    // Draws frame `index` (0 .. kFrames - 1) into `frame` (BGR, reallocated only when
    // needed) and returns its ground truth. The person enters at frame 20, crosses the
    // frame carrying the weapon and has left it by frame 230; the other frames are empty.
    SceneTruth Render(int index, cv::Mat& frame) const;

private:
    cv::Mat background_;
    unsigned seed_;
    int scale_ = 1;
};

}  // namespace zrv::demo
