#include "demo/demo_scene.h"

#include <algorithm>

#include <opencv2/imgproc.hpp>

namespace zrv::demo {
namespace {
// Muted colours, all far from the two cue colours.
const cv::Scalar kPalette[] = {{70, 80, 90},   {110, 110, 105}, {60, 70, 60},  {120, 100, 80},
                               {90, 95, 120},  {50, 55, 65},    {140, 135, 130}, {80, 100, 100}};
const cv::Scalar kPersonColour(140, 140, 0);   // teal, BGR
const cv::Scalar kWeaponColour(255, 0, 255);   // magenta, BGR
constexpr int kBodyWidth = 70, kBodyHeight = 160, kHead = 30;
constexpr int kWeaponWidth = 32, kWeaponHeight = 14;
constexpr int kEnterFrame = 20;
constexpr int kStep = 10;  // pixels per frame
}  // namespace

DemoScene::DemoScene(unsigned seed) : DemoScene(seed, 1) {}

DemoScene::DemoScene(unsigned seed, int scale) : seed_(seed), scale_(std::max(1, scale)) {
    const int k = scale_;
    background_.create(kHeight * k, kWidth * k, CV_8UC3);
    cv::RNG rng(seed);
    background_.setTo(cv::Scalar(85, 90, 95));
    for (int i = 0; i < 140; ++i) {  // blocks and bars as texture
        const cv::Point a(rng.uniform(0, kWidth) * k, rng.uniform(0, kHeight) * k);
        const cv::Size s(rng.uniform(20, 260) * k, rng.uniform(10, 200) * k);
        cv::rectangle(background_, cv::Rect(a, s), kPalette[rng.uniform(0, 8)], cv::FILLED);
    }
    for (int i = 0; i < 60; ++i) {
        const cv::Point a(rng.uniform(0, kWidth) * k, rng.uniform(0, kHeight) * k);
        const cv::Point b(rng.uniform(0, kWidth) * k, rng.uniform(0, kHeight) * k);
        cv::line(background_, a, b, kPalette[rng.uniform(0, 8)], rng.uniform(1, 6) * k);
    }
}

SceneTruth DemoScene::Render(int index, cv::Mat& frame) const {
    background_.copyTo(frame);
    SceneTruth truth;
    const int k = scale_;
    const cv::Rect whole(0, 0, kWidth * k, kHeight * k);

    const int x = (-kBodyWidth - 40 + (index - kEnterFrame) * kStep) * k;
    const int bob = ((index % 8 < 4) ? 0 : 3) * k;  // a walking step
    const cv::Rect body(x, 620 * k + bob, kBodyWidth * k, kBodyHeight * k);
    const cv::Rect head(x + (kBodyWidth - kHead) * k / 2, body.y - (kHead + 4) * k, kHead * k, kHead * k);
    // Held out in front at hand height, partly over the body; the same small size at every scale.
    const cv::Rect weapon(x + (kBodyWidth - 12) * k, body.y + 62 * k, kWeaponWidth, kWeaponHeight);

    if (index >= kEnterFrame) {
        cv::rectangle(frame, body, kPersonColour, cv::FILLED);
        cv::rectangle(frame, head, kPersonColour, cv::FILLED);
        cv::rectangle(frame, weapon, kWeaponColour, cv::FILLED);
        truth.person = (body | head) & whole;
        truth.personVisible = truth.person.area() > 0;
        truth.weapon = weapon & whole;
        truth.weaponVisible = truth.weapon.area() == weapon.area();  // wholly in view
    }

    // Sensor noise, different in every frame.
    cv::Mat noise(whole.size(), CV_8UC3);
    cv::RNG rng(seed_ * 7919u + static_cast<unsigned>(index));
    rng.fill(noise, cv::RNG::UNIFORM, cv::Scalar::all(0), cv::Scalar::all(12));
    cv::add(frame, noise, frame);
    cv::subtract(frame, cv::Scalar::all(6), frame);
    return truth;
}

}  // namespace zrv::demo
