#include "demo_video.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/videoio.hpp>

#include "demo/demo_scene.h"
#include "output/video_output.h"

namespace weapon_detect {

void WriteDemoVideo(const std::string& path, const std::string& groundTruthPath, const std::atomic<bool>& stop) {
    using zrv::demo::DemoScene;
    VideoOutput video(path, DemoScene::kFps, cv::Size(DemoScene::kWidth, DemoScene::kHeight));
    const DemoScene scene;
    cv::Mat frame;
    std::string truth;  // MOTChallenge text: frame (from 1), track, box, conf, class, visibility
    for (int i = 0; i < DemoScene::kFrames && !stop; ++i) {
        const auto t = scene.Render(i, frame);
        video.Write(frame);
        if (t.weapon.area() > 0) {
            char line[96];
            std::snprintf(line, sizeof line, "%d,1,%d,%d,%d,%d,1,1,%.2f\n", i + 1, t.weapon.x, t.weapon.y,
                          t.weapon.width, t.weapon.height, t.weaponVisible ? 1.0 : 0.5);
            truth += line;
        }
    }
    if (stop) return;  // the part file is removed
    video.Finish();
    WriteWholeFile(groundTruthPath, std::vector<unsigned char>(truth.begin(), truth.end()));
}

}  // namespace weapon_detect
