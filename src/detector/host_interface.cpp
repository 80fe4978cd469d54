// The non-virtual part of the host interface: stored data, copy and move, setters.

// This file also emits the exported out-of-line definition of SetLoadEngineOnCreate.
#define ZRV_OUT_OF_LINE_SETTER
#include "zrv/ZRVCustomClass.h"

#include <array>
#include <functional>
#include <utility>

#include "detector/params_lock.h"

IZRVCustomClass::IZRVCustomClass() = default;
IZRVCustomClass::IZRVCustomClass(const IZRVCustomClass& other) = default;
IZRVCustomClass& IZRVCustomClass::operator=(const IZRVCustomClass& other) = default;
IZRVCustomClass::~IZRVCustomClass() = default;

namespace {
// Moving leaves the source's text and lists empty, not merely "valid but unspecified".
void TakeFrom(std::string& to, std::string& from) {
    to = std::move(from);
    from.clear();
}
template <typename T>
void TakeFrom(std::vector<T>& to, std::vector<T>& from) {
    to = std::move(from);
    from.clear();
}
}  // namespace

IZRVCustomClass::IZRVCustomClass(IZRVCustomClass&& other) noexcept
    : _baseValue(other._baseValue), _loadEngineOnCreate(other._loadEngineOnCreate) {
    TakeFrom(_modelDirectory, other._modelDirectory);
    TakeFrom(_params.listA, other._params.listA);
    TakeFrom(_params.listB, other._params.listB);
    TakeFrom(_params.listC, other._params.listC);
    TakeFrom(_params.listD, other._params.listD);
}

IZRVCustomClass& IZRVCustomClass::operator=(IZRVCustomClass&& other) noexcept {
    if (this != &other) {
        TakeFrom(_modelDirectory, other._modelDirectory);
        _baseValue = other._baseValue;
        TakeFrom(_params.listA, other._params.listA);
        TakeFrom(_params.listB, other._params.listB);
        TakeFrom(_params.listC, other._params.listC);
        TakeFrom(_params.listD, other._params.listD);
        _loadEngineOnCreate = other._loadEngineOnCreate;
    }
    return *this;
}

namespace {
// Empties `stored`, then appends copies one by one, so that an exception part-way
// leaves the copies made so far (the documented partial state).
template <typename T>
void ReplaceList(std::vector<T>& stored, const std::vector<T>& given) {
    stored.clear();
    for (const T& item : given) stored.push_back(item);
}
}  // namespace

namespace zrv::detector {
std::mutex& ParamsLockFor(const void* object) {
    static std::array<std::mutex, 64> locks;
    return locks[std::hash<const void*>()(object) % locks.size()];
}
}  // namespace zrv::detector

bool IZRVCustomClass::SetParameters(const CustomParams& params) {
    try {
        std::lock_guard<std::mutex> lock(zrv::detector::ParamsLockFor(this));
        ReplaceList(_params.listA, params.listA);
        ReplaceList(_params.listB, params.listB);
        ReplaceList(_params.listC, params.listC);
        ReplaceList(_params.listD, params.listD);
        return true;
    } catch (...) {
        return false;
    }
}

#if defined(ZRV_OUT_OF_LINE_SETTER)
// Hosts built against a header that declares the setter out of line call this one.
void IZRVCustomClass::SetLoadEngineOnCreate(bool loadEngineOnCreate) {
    __atomic_store_n(&_loadEngineOnCreate, loadEngineOnCreate, __ATOMIC_RELEASE);
}
#endif
