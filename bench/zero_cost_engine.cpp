// An engine that answers at once, for measuring the plug-in's own work: the weapon model
// answers what `ZeroCostAnswers` holds (in the coordinates of the view it is handed), the
// person model a person over the whole frame, motion the whole view.
#include "zero_cost_engine.h"

namespace zero_cost {
Answers& answers() {
    static Answers a;
    return a;
}
}  // namespace zero_cost

namespace ZORAVELIN {

struct ZRVLIB::Impl {
    bool person = false;
};

ZRVLIB::ZRVLIB() : impl_(std::make_unique<Impl>()) {}
ZRVLIB::~ZRVLIB() = default;
ZRVLIB* ZRVLIB::Create() { return new ZRVLIB(); }
void ZRVLIB::Destroy(ZRVLIB* instance) { delete instance; }

int ZRVLIB::LoadModelFromFolder(const char*, const char* modelName, const char*, float, float, float, int, int, int,
                                int, const char*, std::string& labelMap) {
    impl_->person = std::string(modelName) == "filter";
    labelMap = "0 weapon\n";
    return 1;
}
int ZRVLIB::GetEngineType() { return 0; }
int ZRVLIB::Optimize(bool) { return 1; }

int ZRVLIB::RunInference(cv::Mat image, const char*, std::vector<Object>& objects) {
    objects.clear();
    if (impl_->person) {
        objects.emplace_back();
        objects.back().box = cv::Rect(0, 0, image.cols, image.rows);
        objects.back().confidence = 0.9f;
    } else if (zero_cost::answers().weapon) {
        objects.emplace_back();
        // Centred in the view: the area follows it without ever filling it.
        objects.back().box = cv::Rect(image.cols / 2 - 16, image.rows / 2 - 7, 32, 14);
        objects.back().confidence = 0.9f;
    }
    return 1;
}

int ZRVLIB::DetectMovement(cv::Mat image, const char*, std::vector<Object>& objects) {
    objects.clear();
    objects.emplace_back();
    objects.back().box = cv::Rect(0, 0, image.cols, image.rows);
    return 1;
}

}  // namespace ZORAVELIN
