// A minimal derived class of the host interface, for tests of its stored data: it reaches
// the protected members the way the detector does.
#pragma once

#include "zrv/ZRVCustomClass.h"

class InterfaceProbe : public IZRVCustomClass {
public:
    bool Initialize(const std::string&, float, std::string&) override { return false; }
    bool OptimizeModel(bool) override { return false; }
    std::vector<CustomObject> RunInference(const cv::Mat&, const std::string&) override { return {}; }
    std::vector<CustomObject> RunInference(const cv::Mat&) override { return {}; }
    bool ConfigureParameters(CustomParams&) override { return true; }
    bool Destroy() override { return true; }

    std::string& folder() { return _modelDirectory; }
    float& base() { return _baseValue; }
    CustomParams& params() { return _params; }
    bool& loadOnCreate() { return _loadEngineOnCreate; }
};
