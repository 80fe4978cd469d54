// The scripted test engine: an implementation of ZORAVELIN::ZRVLIB, linked into the unit
// tests instead of the real engine. A test scripts what each model returns (the weapon
// and the person model are told apart by the model name given at load time) and reads
// back every call the detector made, in order.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zrv/ZRVLIB.h"

namespace scripted {

using ZORAVELIN::Object;

enum class Op { Create, Destroy, GetEngineType, Load, Optimize, RunInference, DetectMovement };

struct Call {
    Op op;
    int instance = 0;   // 1, 2, ... in creation order
    std::string model;  // the model name the instance was loaded with, empty before
    // LoadModelFromFolder arguments, in order.
    std::string reserved, modelName, classFile;
    float scoreThreshold = 0, nmsThreshold = 0, extraThreshold = 0;
    int batchSize = 0, modelType = 0, detectionType = 0, loadEngineOnCreate = 0;
    std::string folder;
    bool flag = false;  // Optimize
    // RunInference / DetectMovement.
    std::string cameraId;
    cv::Size imageSize;
    const uchar* imageData = nullptr;  // the first pixel of the view handed over
    const uchar* frameData = nullptr;  // the first pixel of the frame it is a view of
    cv::Point offset;                  // the view's offset within that frame
};

enum class Throw { Nothing, Standard, NonStandard };

// Detections for one call; gets the call as recorded.
using Responder = std::function<std::vector<Object>(const Call&)>;

struct Script {
    int engineType = 0;
    bool createFails = false;             // Create returns no instance
    std::map<std::string, int> loadResult;      // by model name; 1 when absent
    std::map<std::string, int> optimizeResult;  // by model name; 1 when absent
    std::map<std::string, std::string> labelMap;  // written by a load, by model name
    // Queued answers by model name, one vector per call; empty once the queue runs out.
    std::map<std::string, std::deque<std::vector<Object>>> detections;
    std::deque<std::vector<Object>> motion;  // answers of DetectMovement
    // Used instead of the queues when set.
    std::map<std::string, Responder> detectResponder;
    Responder motionResponder;
    // What the next call of an operation on a model throws ("" matches every model).
    std::map<std::pair<Op, std::string>, Throw> throws;
    // A line the engine writes of its own at the end of every call of an operation on a
    // model (Load and RunInference only), through ZRVLIB_SetMessageSink's sink as the real
    // engine does: outside its locks, after it is done with the instance.
    std::map<std::pair<Op, std::string>, std::string> says;
};

// The script and the record are process-wide; Reset() empties both.
Script& script();
const std::vector<Call>& calls();
std::vector<Call> callsOf(Op op, const std::string& model = {});
void Reset();
int liveInstances();

inline constexpr const char* kWeapon = "train_last";
inline constexpr const char* kPerson = "filter";

// A detection as an engine would report it.
Object Detection(cv::Rect box, float confidence, int classId = 0,
                 const std::string& className = "gun");

}  // namespace scripted
