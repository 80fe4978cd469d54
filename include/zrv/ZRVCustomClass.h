// Host-facing boundary of the weapon-detection module (libZRVCustomWeaponDetection.so):
// the records exchanged with the host, the host's abstract detector interface and the
// module's exported C functions.
//
// Using it:
//   IZRVCustomClass* d = Create();           // or dlsym(module, "Create")
//   std::string labels;
//   if (d->Initialize("/path/to/models", 0.5f, labels)) {
//       for (each frame) auto weapons = d->RunInference(frame, "door");
//   }
//   Release(d);                              // never `delete d`
//
// Threads: the frame call (both RunInference forms), Initialize, OptimizeModel,
// ConfigureParameters and Destroy take the detector's own lock; SetParameters takes the short
// lock of the stored lists and SetLoadEngineOnCreate is an atomic store. So any of them may
// be called from several threads on one detector; the locked calls run one at a time, and a
// call blocks while another is in progress (Initialize and Destroy wait for a frame in
// progress to finish, and frames wait for them). A console sink may call any operation of
// the detector that is printing (see SetConsoleSink). Separate detectors may run fully in
// parallel. The copy and move operations of IZRVCustomClass are not locked.
//
// Coordinates: every box is in pixels of the full frame handed to RunInference.
//
// One detector per camera. A detector's state belongs to the detector, not to a camera id:
// the held area it tracks, the scan position of its search and its confirmation counter
// carry from one frame call to the next whatever camera id comes with the frame. Only the
// motion background is kept per camera id (by the detector's weapon-model engine instance,
// for at most 16 ids; past that the id seen least recently is forgotten and starts over
// when it comes back). A host that feeds several cameras to one detector therefore gets a
// held area placed on one camera's weapon applied to the next camera's frames, and one
// search that moves on one section per call across all the cameras: give each camera its
// own detector.
//
// Shared between detectors: the console sink (SetConsoleSink), a fixed set of short locks
// that guard the stored parameter lists, and, inside the engine, one compiled network per
// model file and input size and the runtime's CPU threads. Each detector has its own engine
// instances, buffers and motion backgrounds; nothing one detector decides depends on
// another.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/cuda.hpp>

#include "zrv/export.h"

// One detection as returned to the host. Its members are the same, in the same order, as
// those of ZORAVELIN::Object (ZRVLIB.h), on purpose: the two are kept identical so that a
// host can treat them alike, but they stay separate types.
struct CustomObject {
    int32_t classId = 0;
    int32_t auxId = 0;           // always 0 in results
    std::string className;
    float confidence = 0.0f;     // at least the threshold given to Initialize
    cv::Rect box{0, 0, 0, 0};    // full-frame pixels
    std::vector<int64_t> auxList;   // left empty
    cv::Mat auxMat;                 // left empty
    cv::cuda::GpuMat auxGpuMat;     // left empty
    std::vector<float> auxValues;   // left empty
    std::string extraInfo;       // "Detection Score Threshold:<threshold>"
    std::string cameraId;        // the camera id of the frame
};

// Host parameter items. Their meaning is the host's; the detector only stores, copies
// and empties them.
struct CustomParamItemA {
    uint8_t firstByte = 0;
    uint8_t secondByte = 0;
    uint8_t thirdByte = 0;
    int32_t firstNumber = 0;
    int32_t secondNumber = 0;
    std::string firstText;
    std::string secondText;
};

struct CustomParamItemC {
    std::string firstText;
    std::string secondText;
    int32_t firstNumber = 0;
    int32_t secondNumber = 0;
    int32_t thirdNumber = 0;
    std::string thirdText;
    std::vector<std::string> textList;
    std::string fourthText;
    std::string fifthText;
};

struct CustomParamItemD {
    std::string firstText;
    std::vector<int64_t> valueList;
    std::string secondText;
    std::string thirdText;
    int32_t firstNumber = 0;
};

struct CustomParams {
    std::vector<CustomParamItemA> listA;
    std::vector<std::string> listB;
    std::vector<CustomParamItemC> listC;
    std::vector<CustomParamItemD> listD;
};

// The host's detector interface. The six virtual operations are the host's binary
// interface, in this slot order; there is deliberately no virtual destructor, so a
// detector made by Create must be freed with Release, never with delete through this
// type.
class ZRV_API IZRVCustomClass {
public:
    IZRVCustomClass();
    // Copies every member; lets an allocation failure through (std::bad_alloc).
    IZRVCustomClass(const IZRVCustomClass& other);
    // Moves the folder and the lists, leaving the source's empty.
    IZRVCustomClass(IZRVCustomClass&& other) noexcept;
    IZRVCustomClass& operator=(const IZRVCustomClass& other);
    IZRVCustomClass& operator=(IZRVCustomClass&& other) noexcept;
    ~IZRVCustomClass();

    // Loads the weapon model ("train_last" with "classes.names") and the person model
    // ("filter" with "filter.names") from `modelDirectory`, replacing models loaded before.
    // True only when both loaded. `labelMap` receives the weapon model's labels. The
    // threshold must be a number in [0, 1]: anything else (NaN included) is refused with
    // one line on the error stream, false, and the detector left as it was.
    //
    // Prints exactly one line naming the engine path taken, on the output stream (see
    // SetConsoleSink): "NVIDIA GPU detected. Using TensorRT" when the engine reports a GPU,
    // else "CPU detected. Using OpenVINO and ONNX" (both engine backends run on the CPU, so
    // this is the line printed today). The text is fixed: hosts may match it. Why a load
    // failed is the engine's own line on the error stream, through the sink like the others.
    //
    // What reaches the engine's LoadModelFromFolder (ZRVLIB.h), for each model: the reserved
    // text ""; the model and class-file names above; the threshold as the score threshold
    // (the engine keeps candidates scoring at least max(0.001, min(threshold, 0.25))); 0.5
    // as the suppression's IoU threshold; 0.5 as the extra threshold and 1 as the batch size,
    // both unused by the engine; the model-type code (4 for either model when the engine
    // reports a GPU, else 5 for the weapon model and 17 for the person model) and detection
    // type 1, both unused by the engine; 1 or 0 from SetLoadEngineOnCreate; the folder.
    // The person model is loaded even when the weapon model failed. The stored parameter
    // lists are emptied. Lets exceptions through (std::bad_alloc, or whatever the engine
    // throws).
    virtual bool Initialize(const std::string& modelDirectory, float detectionScoreThreshold,
                            std::string& labelMap) = 0;
    // Warms both models up: each engine runs its model once on a grey image, so that the
    // first frame does not pay for the first inference. `flag` is handed to both engines,
    // which do not use it; its value changes nothing. Prints one line on the output stream:
    //   "Model is not initialized." when the detector holds no engines (before the first
    //     Initialize, after Destroy, or when the engine could make no instance); no engine
    //     is called;
    //   "Model optimization failed." when either engine fails, an engine without a model
    //     included: an Initialize whose load failed keeps both engine instances, and both
    //     are still asked;
    //   "Model optimization successful." otherwise.
    // True only in the last case; false, printing nothing, on an exception. Never throws.
    virtual bool OptimizeModel(bool flag) = 0;
    // Analyses one frame and returns the weapons to alarm on, boxes in full-frame pixels,
    // each scoring at least the threshold given to Initialize. The frame stays the caller's
    // and is never copied or written; it must stay unchanged for the duration of the call.
    //
    // Frames taken, by pixel type:
    //   8-bit unsigned, 1 (grey), 3 (BGR) or 4 (BGRA) channels: analysed as they are;
    //   16-bit unsigned, 1, 3 or 4 channels: scaled to 8 bits (divided by 256), analysed;
    //   anything else (signed, floating point, 2 or more than 4 channels): turned away.
    // A frame turned away (empty, narrower or lower than 10 pixels, or of a type not taken)
    // gives an empty list and leaves the detector's state as it was. The first frame of each
    // such kind per camera id, and the first 16-bit frame per camera id, bring one
    // "Warning: camera '<id>': ..." line on the error stream (at most 64 such notes per
    // detector).
    //
    // What is searched: a frame taken is cut into a grid of sections by its larger side (up
    // to 320 pixels, 1 section; up to 640, 1 row of 2; up to 960, 2 x 2; up to 1280, 2 rows
    // of 3; up to 2560, 2 rows of 4; larger, 3 rows of 4; the rows divide the height and the
    // columns the width whichever side is longer, the last row and column taking the pixels
    // the division leaves over), and while searching
    // one section is searched per frame, a section narrower or lower than 51 pixels never.
    // So the smallest frame searched is 51 x 51: a frame of 10 x 10 pixels or more whose
    // every section is that small (any frame narrower or lower than 51 pixels, and narrow
    // ones such as 60 x 400, whose two columns are 30 pixels wide) is taken, brings no note,
    // and is never searched, so nothing is ever found in it.
    //
    // Before Initialize and after Destroy every frame gives an empty list, silently.
    //
    // Exceptions of the std::exception family (cv::Exception included) are caught and give
    // an empty list; any other exception reaches the caller.
    virtual std::vector<CustomObject> RunInference(const cv::Mat& frame,
                                                   const std::string& cameraId) = 0;
    // Same as above with the camera id "CustomCam".
    virtual std::vector<CustomObject> RunInference(const cv::Mat& frame) = 0;
    // Empties the four lists of the caller's record; always true. Never throws.
    virtual bool ConfigureParameters(CustomParams& params) = 0;
    // Releases both models; the object stays usable and can be initialised again.
    // Always true. Never throws.
    virtual bool Destroy() = 0;

    // Takes effect at the next Initialize. Defined inline, so that a host that loads the
    // module with dlopen can call it; the module also exports it, for hosts built against
    // a header that declares it out of line (define ZRV_OUT_OF_LINE_SETTER to get that
    // declaration here).
#if defined(ZRV_OUT_OF_LINE_SETTER)
    void SetLoadEngineOnCreate(bool loadEngineOnCreate);
#else
    void SetLoadEngineOnCreate(bool loadEngineOnCreate) {
        // An atomic store: Initialize may read the flag on another thread.
        __atomic_store_n(&_loadEngineOnCreate, loadEngineOnCreate, __ATOMIC_RELEASE);
    }
#endif
    // Replaces the stored lists by copies of the given ones, list by list (A, B, C, D).
    // On any exception it returns false at once: the lists already handled hold their new
    // contents, the list being copied holds the elements copied so far, and the others
    // keep their old contents. Never throws.
    bool SetParameters(const CustomParams& params);

protected:
    std::string _modelDirectory;  // the folder of the last Initialize
    float _baseValue = 0.5f;      // carried for hosts by copy and move; nothing reads it
    CustomParams _params;         // stored by SetParameters, emptied by Initialize, never read
    bool _loadEngineOnCreate = false;
};

// Receives each console line of the module: `stream` is 1 for what would go to standard
// output, 2 for standard error; `line` has no end of line and lives only for the call.
typedef void (*ZRVConsoleSink)(int stream, const char* line, void* context);

extern "C" {
// Makes one detector; ownership passes to the caller, who frees it with Release. Throws
// std::bad_alloc when out of memory (through a C symbol, as C++ hosts expect).
ZRV_API IZRVCustomClass* Create();
// Frees a detector made by Create, its models included. Null is ignored. The detector
// must not be in use on another thread.
ZRV_API void Release(IZRVCustomClass* detector);
// Routes the console lines of every detector of the module, the engine's own lines among
// them, to `sink` (called with `context`); null restores the default: the line and a
// flushing end of line on the process's standard output or error.
//
// The sink runs on the thread of the call that printed, holding no lock of the console:
// the lines of a call (Initialize, OptimizeModel, a frame) reach it once the call has done
// its work, in the order printed, while the detector's lock is still held. So the lines of
// one detector arrive whole and in order, and the sink may call any operation of that
// detector on that thread (the lock is recursive), its lines then following at once. The
// sink must not wait for another thread that calls the same detector. Sinks of several
// detectors may run at the same time. Once SetConsoleSink returns, the sink it replaced is
// no longer called (it waits for lines under way on other threads), unless it was called
// from within a sink.
ZRV_API void SetConsoleSink(ZRVConsoleSink sink, void* context);
}
