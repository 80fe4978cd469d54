// Lists kept from frame to frame: a list an operation returns by value is taken from its
// keeper, emptied but with its capacity, and given back once the frame is done with it, so
// that a steady stream allocates nothing for it.
#pragma once

#include <utility>
#include <vector>

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

}  // namespace zrv::detector
