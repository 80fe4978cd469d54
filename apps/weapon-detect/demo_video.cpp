#include "demo_video.h"

#include <stdexcept>

#include <opencv2/videoio.hpp>

#include "demo/demo_scene.h"
#include "output_file.h"

namespace weapon_detect {

void WriteDemoVideo(const std::string& path, const std::atomic<bool>& stop) {
    using zrv::demo::DemoScene;
    OutputFile file(path);
    cv::VideoWriter writer;
    // Motion-JPEG keeps the small cues of the scene intact.
    if (!writer.open(file.partPath(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), DemoScene::kFps,
                     cv::Size(DemoScene::kWidth, DemoScene::kHeight))) {
        throw std::runtime_error("cannot write the demo video " + path);
    }
    writer.set(cv::VIDEOWRITER_PROP_QUALITY, 95);  // honoured by some backends only
    const DemoScene scene;
    cv::Mat frame;
    for (int i = 0; i < DemoScene::kFrames && !stop; ++i) {
        scene.Render(i, frame);
        writer.write(frame);
    }
    writer.release();
    if (stop) return;  // the part file is removed
    file.Commit();
}

}  // namespace weapon_detect
