// SetParameters under allocation failure: every allocation in turn is made to fail, and the
// stored lists must always be in the documented partial state, never corrupted, and the
// failure must be reported as false, never as success or as an exception.
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "support/interface_probe.h"

namespace {
// Allocations left before the injected failure; negative when disarmed.
thread_local long g_allocationsLeft = -1;

void* Allocate(std::size_t size) {
    if (g_allocationsLeft == 0) {
        g_allocationsLeft = -1;
        throw std::bad_alloc();
    }
    if (g_allocationsLeft > 0) --g_allocationsLeft;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

CustomParams Params(const std::string& tag, size_t count) {
    CustomParams p;
    for (size_t i = 0; i < count; ++i) {
        const std::string text = tag + std::to_string(i) + " long enough to need the heap";
        CustomParamItemA a;
        a.firstText = text;
        p.listA.push_back(a);
        p.listB.push_back(text);
        CustomParamItemC c;
        c.textList = {text, text};
        p.listC.push_back(c);
        CustomParamItemD d;
        d.firstText = text;
        d.valueList = {1, 2, 3};
        p.listD.push_back(d);
    }
    return p;
}

// How far a stored list got: 1 for the new contents, 0 for the old ones, 2 for a prefix
// of the new contents (the list being copied when the failure struck).
template <typename T, typename Key>
int Progress(const std::vector<T>& stored, const std::vector<T>& oldList, const std::vector<T>& newList, Key key) {
    auto same = [&](const std::vector<T>& a, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (key(stored[i]) != key(a[i])) return false;
        }
        return true;
    };
    if (stored.size() == newList.size() && same(newList, stored.size())) return 1;
    if (stored.size() == oldList.size() && same(oldList, stored.size())) return 0;
    if (stored.size() < newList.size() && same(newList, stored.size())) return 2;
    return -1;
}

}  // namespace

TEST(SetParametersFailureTest, EveryFailureLeavesTheDocumentedPartialState) {
    const CustomParams oldParams = Params("old", 2);
    const CustomParams newParams = Params("new", 3);
    int failures = 0;
    for (long failAt = 0;; ++failAt) {
        SCOPED_TRACE(failAt);
        InterfaceProbe probe;
        ASSERT_TRUE(probe.SetParameters(oldParams));
        g_allocationsLeft = failAt;
        const bool ok = probe.SetParameters(newParams);
        g_allocationsLeft = -1;
        if (ok) break;  // no allocation left to fail
        ++failures;
        const CustomParams& p = probe.params();
        const int progress[] = {
            Progress(p.listA, oldParams.listA, newParams.listA, [](const auto& x) { return x.firstText; }),
            Progress(p.listB, oldParams.listB, newParams.listB, [](const auto& x) { return x; }),
            Progress(p.listC, oldParams.listC, newParams.listC, [](const auto& x) { return x.textList; }),
            Progress(p.listD, oldParams.listD, newParams.listD, [](const auto& x) { return x.firstText; }),
        };
        // Lists already handled are new, at most one is part-way (a prefix of the new
        // one), and the lists after it are old.
        int stage = 1;
        for (int value : progress) {
            ASSERT_NE(value, -1) << "a list holds neither the old nor (a prefix of) the new contents";
            if (stage == 1) {
                if (value != 1) stage = value == 2 ? 2 : 0;
            } else {
                ASSERT_EQ(value, 0) << "a list after the failing one changed";
            }
        }
    }
    EXPECT_GT(failures, 20) << "the injection must have struck inside every list";
}
