// Owners of FFmpeg's objects: each frees its object with the function FFmpeg gives for it,
// whatever way the scope is left. Nothing here is shared between threads by itself.
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace weapon_detect::av {

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecContextFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct CodecParametersFreer {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFreer {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

using FormatInput = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextFreer>;
using CodecParameters = std::unique_ptr<AVCodecParameters, CodecParametersFreer>;
using Frame = std::unique_ptr<AVFrame, FrameFreer>;
using Packet = std::unique_ptr<AVPacket, PacketFreer>;
using Scaler = std::unique_ptr<SwsContext, ScalerFreer>;

// Options for an open: FFmpeg takes the address of the pointer and leaves the options it did
// not use in it.
struct Dictionary {
    Dictionary() = default;
    ~Dictionary() { av_dict_free(&entries); }
    Dictionary(const Dictionary&) = delete;
    Dictionary& operator=(const Dictionary&) = delete;
    AVDictionary* entries = nullptr;
};

// Allocations that fail throw std::bad_alloc, like every other allocation of the program.
Frame NewFrame();
Packet NewPacket();

// FFmpeg's text for an error code.
std::string ErrorText(int code);

}  // namespace weapon_detect::av
