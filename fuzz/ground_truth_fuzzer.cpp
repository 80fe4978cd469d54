// The ground-truth reader on arbitrary text: it either accepts boxes with an area inside
// the limits, on frames from 0, or throws GroundTruthError naming the file; never anything
// else, never a crash (values beyond the integer range included).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "evaluation/ground_truth.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        const auto truth = weapon_detect::ParseGroundTruth(text, "gt.txt");
        for (const auto& [frame, boxes] : truth.frames) {
            if (frame < 0 || frame > truth.lastFrame) std::abort();
            for (const auto& labelled : boxes) {
                if (labelled.box.width <= 0 || labelled.box.height <= 0) std::abort();
                if (labelled.box.width > 1000000 || labelled.box.height > 1000000) std::abort();
            }
        }
    } catch (const weapon_detect::GroundTruthError& e) {
        if (std::string(e.what()).rfind("gt.txt:", 0) != 0) std::abort();
    }
    return 0;
}
