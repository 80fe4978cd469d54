// A video decoder for one stream's packets, and the conversion of its pictures into the
// 8-bit BGR frames the engine takes. Each object belongs to one thread at a time; the
// decoder, its picture and the scaler are made once and reused for every frame.
#pragma once

#include <opencv2/core.hpp>

#include "input/av_objects.h"

namespace weapon_detect {

class PictureDecoder {
public:
    // Throws std::runtime_error when no decoder fits the stream.
    explicit PictureDecoder(const AVCodecParameters& codec);

    // Decodes one packet; false when the decoder refused it (a damaged packet).
    bool Send(const AVPacket* packet);
    // The next picture out of the decoder into `picture` (its old contents released);
    // false when none is ready.
    bool Receive(AVFrame* picture);

    // The cheap decode: no loop filter on the frames other than key frames, and frames no
    // other frame refers to left undecoded (they never come out). For when most frames go
    // unanalysed; a picture between two key frames may then show the codec's blocks.
    void SetCheap(bool cheap);
    bool cheap() const { return cheap_; }

private:
    av::CodecContext context_;
    bool cheap_ = false;
};

class BgrConverter {
public:
    // `picture` as 8-bit BGR into `image`, whose pixels are reused when it alone holds them
    // at the right size (else it gets new ones: a frame kept elsewhere is never written).
    void Convert(const AVFrame& picture, cv::Mat& image);

private:
    av::Scaler scaler_;
    int width_ = 0, height_ = 0, format_ = -1, fullRange_ = -1;
};

}  // namespace weapon_detect
