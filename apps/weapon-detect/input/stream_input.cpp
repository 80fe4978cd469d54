#include "input/stream_input.h"

#include <mutex>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace weapon_detect {

namespace av {
Frame NewFrame() {
    Frame frame(av_frame_alloc());
    if (!frame) throw std::bad_alloc();
    return frame;
}
Packet NewPacket() {
    Packet packet(av_packet_alloc());
    if (!packet) throw std::bad_alloc();
    return packet;
}
std::string ErrorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}
}  // namespace av

namespace {
void QuietOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        av_log_set_level(AV_LOG_QUIET);
        avformat_network_init();
    });
}
}  // namespace

int StreamInput::Interrupt(void* self) {
    const auto* input = static_cast<StreamInput*>(self);
    return input->stopped_() || std::chrono::steady_clock::now() > input->deadline_ ? 1 : 0;
}

std::unique_ptr<StreamInput> StreamInput::Open(const std::string& url, int openMs, int readMs, Stopped stopped,
                                               std::string& why) {
    QuietOnce();
    auto input = std::make_unique<StreamInput>(Key{}, std::move(stopped));
    input->readMs_ = readMs;
    input->deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(openMs);
    AVFormatContext* format = avformat_alloc_context();
    if (!format) throw std::bad_alloc();
    format->interrupt_callback = {&StreamInput::Interrupt, input.get()};
    // On failure avformat_open_input frees the context itself.
    av::Dictionary options;
    // RTSP over TCP, as OpenCV's capture opened it: it passes firewalls and loses no packets.
    if (url.rfind("rtsp://", 0) == 0) av_dict_set(&options.entries, "rtsp_transport", "tcp", 0);
    const int opened = avformat_open_input(&format, url.c_str(), nullptr, &options.entries);
    if (opened < 0) {
        why = av::ErrorText(opened);
        return nullptr;
    }
    input->format_.reset(format);
    const int found = avformat_find_stream_info(format, nullptr);
    if (found < 0) {
        why = "no stream information: " + av::ErrorText(found);
        return nullptr;
    }
    input->stream_ = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (input->stream_ < 0) {
        why = "no video stream";
        return nullptr;
    }
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != input->stream_) format->streams[i]->discard = AVDISCARD_ALL;
    }
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(input->codec().codec_id);
    input->intraOnly_ = descriptor && (descriptor->props & AV_CODEC_PROP_INTRA_ONLY);
    return input;
}

bool StreamInput::Read(AVPacket* packet, std::string& why) {
    for (;;) {
        av_packet_unref(packet);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(readMs_);
        const int read = av_read_frame(format_.get(), packet);
        if (read < 0) {
            why = read == AVERROR_EOF    ? "end of stream"
                  : read == AVERROR_EXIT ? "no packet in time"
                                         : av::ErrorText(read);
            return false;
        }
        if (packet->stream_index == stream_) return true;
    }
}

}  // namespace weapon_detect
