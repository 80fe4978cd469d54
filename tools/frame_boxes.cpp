// Runs the engine, as a host calls it, on frames handed in on standard input and prints what
// it found, so that a script can compare the engine with an independent decode on exactly the
// same pixels, or one precision with another.
//
//   frame_boxes FOLDER MODEL CLASS-FILE SCORE IOU
//
// loads FOLDER/MODEL.onnx with FOLDER/CLASS-FILE through LoadModelFromFolder (score floor
// SCORE, suppression IoU), runs the model once, then prints "ready" and reads frames: each is
// a line "WIDTH HEIGHT" and WIDTH x HEIGHT x 3 bytes of 8-bit BGR, rows top to bottom. For
// each frame one line of JSON:
//   {"ms": time of the RunInference call, "boxes": [[class, score, x1, y1, x2, y2], ...]}
// with the boxes in the frame's pixels, as the engine reports them (whole pixels). Ends at the
// end of its input (status 0), or with status 1 and a line on standard error when the model
// does not load or a frame is cut short. ZRV_ENGINE_PRECISION and ZRV_ENGINE_THREADS choose
// the engine's arithmetic and threads, as for any host.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "zrv/ZRVLIB.h"

namespace {

bool ReadFrame(cv::Mat& frame, std::string& why) {
    int width = 0;
    int height = 0;
    if (!(std::cin >> width >> height)) {
        if (!std::cin.eof()) why = "a frame header is not 'WIDTH HEIGHT'";
        return false;
    }
    if (std::cin.get() != '\n' || width < 1 || height < 1 || width > 16384 || height > 16384) {
        why = "a frame header is not 'WIDTH HEIGHT' of sides from 1 to 16384";
        return false;
    }
    frame.create(height, width, CV_8UC3);
    const auto bytes = static_cast<std::streamsize>(frame.total() * frame.elemSize());
    if (!std::cin.read(reinterpret_cast<char*>(frame.data), bytes)) {
        why = "a frame of " + std::to_string(width) + " x " + std::to_string(height) + " is cut short";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s FOLDER MODEL CLASS-FILE SCORE IOU\n", argv[0]);
        return 2;
    }
    std::ios::sync_with_stdio(false);
    ZORAVELIN::ZRVLIBHandle engine(ZORAVELIN::ZRVLIB::Create());
    std::string labels;
    if (engine->LoadModelFromFolder("", argv[2], argv[3], std::strtof(argv[4], nullptr), std::strtof(argv[5], nullptr),
                                    0.5f, 1, 0, 1, 1, argv[1], labels) != 1) {
        std::fprintf(stderr, "frame_boxes: %s/%s.onnx did not load\n", argv[1], argv[2]);
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    cv::Mat frame;
    std::vector<ZORAVELIN::Object> objects;
    std::string why;
    while (ReadFrame(frame, why)) {
        const auto start = std::chrono::steady_clock::now();
        engine->RunInference(frame, "frames", objects);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::string line = "{\"ms\": " + std::to_string(ms) + ", \"boxes\": [";
        char box[160];
        for (size_t i = 0; i < objects.size(); ++i) {
            const ZORAVELIN::Object& o = objects[i];
            std::snprintf(box, sizeof box, "%s[%d, %.9g, %d, %d, %d, %d]", i ? ", " : "", o.classId,
                          static_cast<double>(o.confidence), o.box.x, o.box.y, o.box.x + o.box.width,
                          o.box.y + o.box.height);
            line += box;
        }
        line += "]}\n";
        if (std::fputs(line.c_str(), stdout) == EOF || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "frame_boxes: cannot write to standard output\n");
            return 1;
        }
    }
    if (!why.empty()) {
        std::fprintf(stderr, "frame_boxes: %s\n", why.c_str());
        return 1;
    }
    return 0;
}
