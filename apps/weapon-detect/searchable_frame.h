// Whether the plug-in ever searches frames of a size, by the rule its header states
// (include/zrv/ZRVCustomClass.h, RunInference): the frame is cut into a grid of sections by
// its larger side, and a section narrower or lower than 51 pixels is skipped. A frame whose
// every section is skipped is taken but never analysed; the host says so once per camera.
// Header-only, so that the detector's tests check it against the detector's own division.
#pragma once

#include <cmath>

namespace weapon_detect {

// The smallest side of a section the plug-in searches.
inline constexpr int kSmallestSearchedSide = 51;

inline bool FrameIsSearched(int width, int height) {
    const int larger = width > height ? width : height;
    const int sections = larger <= 320    ? 1
                         : larger <= 640  ? 2
                         : larger <= 960  ? 4
                         : larger <= 1280 ? 6
                         : larger <= 2560 ? 8
                                          : 10;
    // Rows along the height, columns along the width, whichever is longer; the last row
    // and column take the pixels the divisions leave over, so they are the largest.
    const int rows = static_cast<int>(std::sqrt(static_cast<double>(sections)));
    const int cols = (sections + rows - 1) / rows;
    const int lastWidth = width - (cols - 1) * (width / cols);
    const int lastHeight = height - (rows - 1) * (height / rows);
    return lastWidth >= kSmallestSearchedSide && lastHeight >= kSmallestSearchedSide;
}

}  // namespace weapon_detect
