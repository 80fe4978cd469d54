// Rules of the held area, the square the detector tracks once it has found a weapon: its
// placement, the smallest window worth examining and when it is released. Free functions and
// constants, so that the exported detector class gains no members for them.
//
// Coordinates: every rectangle is in pixels of the full frame.
#pragma once

#include <opencv2/core.hpp>

namespace zrv::detector {

// The smallest side of a window the weapon model is run on. A held area this large on both
// sides is tracked; a smaller one sends the frame entry back to the search, and the search
// skips a section narrower or lower than this.
inline constexpr int kSmallestWindowSide = 51;

inline bool CoversSmallestWindow(const cv::Rect& window) {
    return window.width >= kSmallestWindowSide && window.height >= kSmallestWindowSide;
}

// The no-detection rule releases a held area at this many applications since the area was
// last placed on a detection. A tracked frame that finds nothing applies the rule twice:
// tracking applies it where it gives up on the crop (nothing found, or once per rejected
// candidate), and the frame entry applies it again to every frame that reports nothing. So
// 80 holds an area through 40 empty frames in a row, and through fewer when frames bring
// several rejected candidates: each site counts, and a frame of rejected candidates wears
// the area down faster than an empty one.
inline constexpr int kMissesBeforeRelease = 80;

// The side of the held square for a frame of `rows` x `cols`: 224, 320, 480 or 640 by the
// longer dimension, limited by the shorter one. 0 for an empty frame.
int AreaSide(int rows, int cols);

// The square of AreaSide centred on `box` and pushed wholly inside the frame; (0, 0, 0, 0)
// for an empty frame. `box` may hold any 32-bit values (it comes from the engine).
cv::Rect PlaceArea(int rows, int cols, const cv::Rect& box);

}  // namespace zrv::detector
