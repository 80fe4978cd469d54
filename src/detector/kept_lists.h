// Lists kept from frame to frame, so that a steady stream allocates nothing for them: a list
// an operation returns by value is taken from its keeper, emptied but with its capacity, and
// given back once the frame is done with it.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "zrv/ZRVLIB.h"

namespace zrv::detector {

template <typename T>
std::vector<T> TakeList(std::vector<T>& kept) {
    std::vector<T> list = std::move(kept);
    list.clear();
    return list;
}

template <typename T>
void GiveBack(std::vector<T>& kept, std::vector<T>& list) {
    kept = std::move(list);
}

// The lists one detector reuses. Each is emptied before use and again when the frame ends,
// so that nothing an engine answered (an Object may hold a Mat) outlives the frame call.
struct FrameLists {
    using Objects = std::vector<ZORAVELIN::Object>;
    Objects detections;    // the frame's weapons, before the threshold
    Objects candidates;    // the weapon model's answer for the searched or tracked area
    Objects filterAnswer;  // the person model's answer
    Objects persons;
    Objects motion;
    Objects motionBoxes;
    std::string thresholdText;  // the records' text for the threshold `thresholdTextOf`
    float thresholdTextOf = -1.0f;

    void EmptyAll() {
        for (Objects* list : {&detections, &candidates, &filterAnswer, &persons, &motion, &motionBoxes}) {
            list->clear();
        }
    }
};

}  // namespace zrv::detector
