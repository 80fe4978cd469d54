#include "output/preroll_ring.h"

namespace weapon_detect {

void PrerollRing::Add(double time, std::vector<unsigned char> jpeg) {
    if (jpeg.size() > maxBytes_) return;
    bytes_ += jpeg.size();
    entries_.push_back({time, std::move(jpeg)});
    while (!entries_.empty() && (bytes_ > maxBytes_ || entries_.front().time < time - seconds_)) {
        bytes_ -= entries_.front().jpeg.size();
        entries_.pop_front();
    }
}

std::vector<const PrerollRing::Entry*> PrerollRing::Since(double from) const {
    std::vector<const Entry*> found;
    for (const Entry& e : entries_) {
        if (e.time >= from) found.push_back(&e);
    }
    return found;
}

}  // namespace weapon_detect
