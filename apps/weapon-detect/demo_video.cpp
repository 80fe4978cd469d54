#include "demo_video.h"

#include <stdexcept>

#include <opencv2/videoio.hpp>

#include "demo/demo_scene.h"
#include "output/video_output.h"

namespace weapon_detect {

void WriteDemoVideo(const std::string& path, const std::atomic<bool>& stop) {
    using zrv::demo::DemoScene;
    VideoOutput video(path, DemoScene::kFps, cv::Size(DemoScene::kWidth, DemoScene::kHeight));
    const DemoScene scene;
    cv::Mat frame;
    for (int i = 0; i < DemoScene::kFrames && !stop; ++i) {
        scene.Render(i, frame);
        video.Write(frame);
    }
    if (stop) return;  // the part file is removed
    video.Finish();
}

}  // namespace weapon_detect
