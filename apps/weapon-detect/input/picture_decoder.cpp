#include "input/picture_decoder.h"

#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace weapon_detect {

PictureDecoder::PictureDecoder(const AVCodecParameters& codec) {
    const AVCodec* decoder = avcodec_find_decoder(codec.codec_id);
    if (!decoder) throw std::runtime_error(std::string("no decoder for ") + avcodec_get_name(codec.codec_id));
    context_.reset(avcodec_alloc_context3(decoder));
    if (!context_) throw std::bad_alloc();
    int result = avcodec_parameters_to_context(context_.get(), &codec);
    // One thread per camera: with many cameras on few cores more would only contend, and
    // frame threads add a frame of delay.
    context_->thread_count = 1;
    if (result >= 0) result = avcodec_open2(context_.get(), decoder, nullptr);
    if (result < 0) {
        throw std::runtime_error(std::string("cannot open the ") + decoder->name +
                                 " decoder: " + av::ErrorText(result));
    }
}

bool PictureDecoder::Send(const AVPacket* packet) { return avcodec_send_packet(context_.get(), packet) >= 0; }

bool PictureDecoder::Receive(AVFrame* picture) {
    av_frame_unref(picture);
    return avcodec_receive_frame(context_.get(), picture) >= 0;
}

void PictureDecoder::SetCheap(bool cheap) {
    cheap_ = cheap;
    // Read by the decoder for each frame, so a change applies from the next packet on.
    context_->skip_loop_filter = cheap ? AVDISCARD_NONKEY : AVDISCARD_DEFAULT;
    context_->skip_frame = cheap ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

namespace {
// The full-range ("J") formats are FFmpeg's old names for the plain ones with full range.
AVPixelFormat PlainFormat(AVPixelFormat format, bool& fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P: fullRange = true; return AV_PIX_FMT_YUV411P;
        default: return format;
    }
}
}  // namespace

void BgrConverter::Convert(const AVFrame& picture, cv::Mat& image) {
    bool fullRange = picture.color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat format = PlainFormat(static_cast<AVPixelFormat>(picture.format), fullRange);
    if (!scaler_ || picture.width != width_ || picture.height != height_ || format != format_ ||
        static_cast<int>(fullRange) != fullRange_) {
        scaler_.reset(sws_getContext(picture.width, picture.height, format, picture.width, picture.height,
                                     AV_PIX_FMT_BGR24, SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!scaler_) {
            width_ = 0;
            throw std::runtime_error(std::string("cannot convert pictures of format ") +
                                     (av_get_pix_fmt_name(format) ? av_get_pix_fmt_name(format) : "unknown"));
        }
        const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
        sws_setColorspaceDetails(scaler_.get(), coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);
        width_ = picture.width;
        height_ = picture.height;
        format_ = format;
        fullRange_ = fullRange;
    }
    if (image.rows != picture.height || image.cols != picture.width || image.type() != CV_8UC3 || !image.u ||
        image.u->refcount != 1 || !image.isContinuous()) {
        image = cv::Mat(picture.height, picture.width, CV_8UC3);
    }
    uint8_t* const target[1] = {image.data};
    const int stride[1] = {static_cast<int>(image.step[0])};
    sws_scale(scaler_.get(), picture.data, picture.linesize, 0, picture.height, target, stride);
}

}  // namespace weapon_detect
