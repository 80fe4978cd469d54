#include "input/live_source.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <opencv2/videoio.hpp>

#include "input/picture_decoder.h"
#include "input/stream_input.h"
#include "input/stream_probe.h"
#include "input/video_source.h"
#include "thread_name.h"

namespace weapon_detect {
namespace {
std::atomic<int> g_leftBehind{0};

// Where the reader stands between connections: whether frames flow, how many attempts
// failed in a row, and the wait before the next one.
struct Link {
    explicit Link(const LiveSettings& settings) : settings(settings), backoff(settings.firstBackoff) {}

    // The first frame of a connection: the count of failures and the backoff start afresh.
    // True when this is a change of state to report.
    bool Online() {
        if (online) return false;
        online = true;
        failures = 0;
        backoff = settings.firstBackoff;
        return true;
    }
    // A connection lost (or never made). False when the attempts are used up.
    bool Lost() {
        online = false;
        ++failures;
        return settings.maxReconnects < 0 || failures <= settings.maxReconnects;
    }
    // Doubles the wait before the next attempt, up to the longest.
    void Lengthen() { backoff = std::min(backoff * 2, settings.maxBackoff); }

    const LiveSettings& settings;
    double backoff;
    int failures = 0;
    bool online = false;
};

// Opening is bounded by ten seconds whatever the stall timeout: OpenCV opens FFmpeg inputs
// under one process-wide lock, so a camera hanging in open holds up every other camera's
// opening (and reconnection) meanwhile.
struct Timeouts {
    explicit Timeouts(const LiveSettings& settings)
        : readMs(static_cast<int>(std::clamp(settings.stallSeconds, 0.1, 3600.0) * 1000)),
          openMs(std::min(readMs, 10000)) {}
    int readMs;
    int openMs;
};

// The least time the decode stays cheap or full once switched.
constexpr double kCheapDwellSeconds = 10.0;

bool IsUrl(const std::string& input) { return input.find("://") != std::string::npos; }

// Measurement switches, read once per camera.
bool UrlsWithOpenCv() {
    const char* reader = std::getenv("WEAPON_DETECT_LIVE_READER");
    return reader && std::strcmp(reader, "opencv") == 0;
}
bool CheapDecodeAllowed() {
    const char* cheap = std::getenv("WEAPON_DETECT_CHEAP_DECODE");
    return !(cheap && std::strcmp(cheap, "0") == 0);
}

// The stream's codec as its packets need it to be decoded, shared by the reader and the
// taker for one connection.
struct CodecSetup {
    explicit CodecSetup(const AVCodecParameters& from) : parameters(avcodec_parameters_alloc()) {
        if (!parameters || avcodec_parameters_copy(parameters.get(), &from) < 0) throw std::bad_alloc();
    }
    av::CodecParameters parameters;
};

// A rate smoothed over the last few events: the time between them is smoothed, not its
// inverse, so that frames arriving in bursts (a stream's packets come as the network hands
// them over) do not read as thousands a second.
void Smooth(double& rate, double& last, double now, double weight) {
    const double gap = now - last;
    if (last > 0 && gap >= 0) {
        const double interval = rate > 0 ? (1 - weight) / rate + weight * gap : gap;
        if (interval > 0) rate = 1.0 / interval;
    }
    last = now;
}
}  // namespace

struct LiveSource::Shared {
    std::string input;
    LiveSettings settings;
    Clock::time_point start;
    StateCallback onState;

    std::mutex mutex;
    std::condition_variable changed;  // a new frame, giving up, or a stop
    bool stop = false;
    bool finished = false;
    std::atomic<bool> stopping{false};  // `stop`, read without the lock by FFmpeg's waits
    LiveFrame latest;        // the newest frame, not yet taken when `fresh`
    // What the newest frame holds: BGR pixels in latest.image (OpenCV's reader), a picture
    // in the codec's format, or a packet still compressed with the codec to decode it.
    enum class Held { Pixels, Picture, Packet } held = Held::Pixels;
    av::Frame latestPicture = av::NewFrame();
    av::Packet latestPacket = av::NewPacket();
    std::shared_ptr<const CodecSetup> latestCodec;
    bool fresh = false;
    long long lastPublished = -1;  // index of the newest frame published
    std::atomic<long long> dropped{0};
    std::atomic<long long> read{0};
    std::atomic<long long> decoded{0};
    double fps = 0.0;        // smoothed rate of arrival
    double publishedFps = 0.0, lastPublishTime = 0.0;  // of frames offered to the analysis
    double takenFps = 0.0, lastTakeTime = 0.0;         // of frames the analysis took
    cv::Size size;
    const bool cheapAllowed = CheapDecodeAllowed();

    double Now() const { return std::chrono::duration<double>(Clock::now() - start).count(); }

    // Sleeps `seconds` unless stopped first; false when stopped.
    bool Pause(double seconds) {
        std::unique_lock<std::mutex> lock(mutex);
        return !changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stop; });
    }
    bool Stopped() {
        std::lock_guard<std::mutex> lock(mutex);
        return stop;
    }

    // Tells the listener, if one still listens; called outside the lock.
    void Report(bool online, const std::string& reason) {
        StateCallback callback;
        {
            std::lock_guard<std::mutex> lock(mutex);
            callback = onState;
        }
        if (callback) callback(online, reason, Now());
    }

    // Reads frames from an opened input until it stops delivering or a stop; returns why
    // it stopped delivering (empty after a stop).
    std::string ReadFrames(cv::VideoCapture& capture, cv::Mat& decoding, Link& link);
    // The same for a stream read with FFmpeg.
    std::string ReadPackets(StreamInput& input, Link& link);
    std::string ReadPacketsOrSayWhy(StreamInput& input, Link& link) {
        try {
            return ReadPackets(input, link);
        } catch (const std::exception& e) {
            return e.what();
        }
    }

    // A frame arrived from the input: counted, and the measured rate updated; `last` is the
    // previous frame's arrival and becomes this one's. Returns the frame's index.
    long long Arrived(double& last) {
        const double now = Now();
        std::lock_guard<std::mutex> lock(mutex);
        Smooth(fps, last, now, 0.1);
        return read++;
    }

    // Makes frame `index` the newest; the one it replaces, untaken, and the frames read
    // since the last one published that never became one (left undecoded), are dropped.
    // `hold` moves the frame's contents into `latest` under the lock.
    template <typename Hold>
    void Publish(long long index, Held kind, Hold hold) {
        const double now = Now();
        std::lock_guard<std::mutex> lock(mutex);
        if (fresh) ++dropped;
        if (lastPublished >= 0 && index > lastPublished + 1) dropped += index - lastPublished - 1;
        lastPublished = index;
        Smooth(publishedFps, lastPublishTime, now, 0.1);
        held = kind;
        hold();
        latest.index = index;
        latest.captureTime = now;
        fresh = true;
        changed.notify_all();
    }

    // Whether the decode should be cheap now: the analysis takes less than half the
    // stream's frames (cheap from then on) until it takes more than 0.8 of those decoded.
    bool WantCheap(bool cheapNow) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!cheapAllowed || takenFps <= 0) return false;
        return cheapNow ? takenFps <= 0.8 * publishedFps : takenFps < 0.5 * fps;
    }

    void Finish() {
        std::lock_guard<std::mutex> lock(mutex);
        finished = true;
        changed.notify_all();
    }
};

std::string LiveSource::Shared::ReadFrames(cv::VideoCapture& capture, cv::Mat& decoding, Link& link) {
    double last = Now();
    while (!Stopped()) {
        if (!capture.read(decoding) || decoding.empty()) {
            return Now() - last >= settings.stallSeconds * 0.9
                       ? "no frame for " + std::to_string(static_cast<int>(settings.stallSeconds)) + " s"
                       : "end of stream or read error";
        }
        if (link.Online()) Report(true, "frames flow");
        if (settings.paceFps > 0) {
            const double due = last + 1.0 / settings.paceFps;
            if (Now() < due && !Pause(due - Now())) break;
        }
        ++decoded;
        const long long index = Arrived(last);
        Publish(index, Held::Pixels, [&] {
            std::swap(decoding, latest.image);  // no pixels copied
            size = latest.image.size();
        });
    }
    return {};
}

std::string LiveSource::Shared::ReadPackets(StreamInput& input, Link& link) {
    const AVCodecParameters& parameters = input.codec();
    {
        std::lock_guard<std::mutex> lock(mutex);
        size = cv::Size(parameters.width, parameters.height);
    }
    std::shared_ptr<const CodecSetup> codec;
    std::unique_ptr<PictureDecoder> decoder;
    if (input.intraOnly()) {
        // Decoded by Take; a stream no decoder reads is said here, not at each frame.
        if (!avcodec_find_decoder(parameters.codec_id)) {
            return std::string("no decoder for ") + avcodec_get_name(parameters.codec_id);
        }
        codec = std::make_shared<const CodecSetup>(parameters);
    } else {
        decoder = std::make_unique<PictureDecoder>(parameters);
    }
    av::Packet packet = av::NewPacket();
    av::Frame picture = av::NewFrame();
    double last = Now(), lastFrame = last, lastSwitch = -kCheapDwellSeconds;
    std::string why;
    auto noFrame = [&] { return "no frame for " + std::to_string(static_cast<int>(settings.stallSeconds)) + " s"; };
    while (!Stopped()) {
        if (!input.Read(packet.get(), why)) {
            return Now() - lastFrame >= settings.stallSeconds * 0.9 ? noFrame() : "end of stream or read error";
        }
        const long long index = Arrived(last);
        if (codec) {
            lastFrame = Now();
            if (link.Online()) Report(true, "frames flow");
            Publish(index, Held::Packet, [&] {
                av_packet_unref(latestPacket.get());
                av_packet_move_ref(latestPacket.get(), packet.get());
                latestCodec = codec;
            });
            continue;
        }
        // A change holds for a while at least: near the thresholds the rates measured in
        // one mode can call for the other, and the decode would flap.
        if (Now() - lastSwitch >= kCheapDwellSeconds) {
            const bool cheap = WantCheap(decoder->cheap());
            if (cheap != decoder->cheap()) {
                decoder->SetCheap(cheap);
                lastSwitch = Now();
            }
        }
        // A damaged packet is skipped: the decoder recovers at the next key frame.
        if (decoder->Send(packet.get())) {
            while (decoder->Receive(picture.get())) {
                ++decoded;
                lastFrame = Now();
                if (link.Online()) Report(true, "frames flow");
                Publish(index, Held::Picture, [&] {
                    av_frame_unref(latestPicture.get());
                    av_frame_move_ref(latestPicture.get(), picture.get());
                });
            }
        }
        if (Now() - lastFrame >= settings.stallSeconds) return noFrame();
    }
    return {};
}

// Take's own state, on the worker's thread: the packet or picture taken, the decoder of
// taken packets (made again when the connection's codec changes) and the converter.
struct LiveSource::Taker {
    av::Packet packet = av::NewPacket();
    av::Frame picture = av::NewFrame();
    std::shared_ptr<const CodecSetup> codec;
    std::unique_ptr<PictureDecoder> decoder;
    BgrConverter converter;
};

LiveSource::LiveSource(std::string input, LiveSettings settings, Clock::time_point start, StateCallback onState)
    : shared_(std::make_shared<Shared>()), taker_(std::make_unique<Taker>()) {
    shared_->input = std::move(input);
    shared_->settings = settings;
    shared_->start = start;
    shared_->onState = std::move(onState);
    thread_ = std::thread(ReadLoop, shared_);
}

LiveSource::~LiveSource() {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    shared_->stop = true;
    shared_->stopping = true;
    shared_->onState = nullptr;  // nobody listens any more
    shared_->changed.notify_all();
    // The reader may be blocked in the input: give it a second, then leave it behind with
    // its own share of the state.
    if (shared_->changed.wait_for(lock, std::chrono::seconds(1), [&] { return shared_->finished; })) {
        lock.unlock();
        thread_.join();
    } else {
        thread_.detach();
        ++g_leftBehind;
    }
}

int LiveSource::LeftBehind() { return g_leftBehind; }

bool LiveSource::Take(LiveFrame& frame, std::chrono::milliseconds wait) {
    Taker& t = *taker_;
    Shared::Held held;
    {
        Shared& s = *shared_;
        std::unique_lock<std::mutex> lock(s.mutex);
        if (!s.changed.wait_for(lock, wait, [&] { return s.fresh || s.finished; })) return false;
        if (!s.fresh) return false;
        s.fresh = false;
        Smooth(s.takenFps, s.lastTakeTime, s.Now(), 0.2);
        frame.index = s.latest.index;
        frame.captureTime = s.latest.captureTime;
        held = s.held;
        if (held == Shared::Held::Pixels) {
            std::swap(frame.image, s.latest.image);  // the reader decodes into the one it gets back
            return true;
        }
        // Only references move under the lock; the decoding and converting happen outside it.
        if (held == Shared::Held::Packet) {
            av_packet_unref(t.packet.get());
            av_packet_move_ref(t.packet.get(), s.latestPacket.get());
            if (t.codec != s.latestCodec) {
                t.codec = s.latestCodec;
                t.decoder.reset();
            }
        } else {
            av_frame_unref(t.picture.get());
            av_frame_move_ref(t.picture.get(), s.latestPicture.get());
        }
    }
    if (held == Shared::Held::Packet) {
        if (!t.decoder) t.decoder = std::make_unique<PictureDecoder>(*t.codec->parameters);
        if (!t.decoder->Send(t.packet.get()) || !t.decoder->Receive(t.picture.get())) return false;
        ++shared_->decoded;
    }
    t.converter.Convert(*t.picture, frame.image);
    av_frame_unref(t.picture.get());  // back to the decoder's pool
    return true;
}

bool LiveSource::finished() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->finished && !shared_->fresh;
}

long long LiveSource::dropped() const { return shared_->dropped; }
long long LiveSource::read() const { return shared_->read; }
long long LiveSource::decoded() const { return shared_->decoded; }

double LiveSource::cameraFps() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->fps;
}

cv::Size LiveSource::size() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->size;
}

void LiveSource::ReadLoop(std::shared_ptr<Shared> s) {
    NameThisThread("wd-read");  // its decoder's threads inherit the name
    const Timeouts timeouts(s->settings);
    Link link(s->settings);
    cv::Mat decoding;  // the reader's own buffer, swapped with the newest frame
    const bool withFfmpeg = IsUrl(s->input) && !UrlsWithOpenCv();
    while (!s->Stopped()) {
        const long long readBefore = s->read;
        std::string reason;
        if (withFfmpeg) {
            std::string why;  // FFmpeg's words; the server is asked below for a better reason
            const auto input = StreamInput::Open(
                s->input, timeouts.openMs, timeouts.readMs, [&s] { return s->stopping.load(); }, why);
            if (input && !s->Stopped()) reason = s->ReadPacketsOrSayWhy(*input, link);
        } else {
            cv::VideoCapture capture;
            const bool opened = OpenCapture(capture, s->input, timeouts.openMs, timeouts.readMs) && !s->Stopped();
            if (opened) reason = s->ReadFrames(capture, decoding, link);
        }
        if (s->Stopped()) break;
        // Why it cannot be opened is asked of the server only when it is said (below).
        auto explain = [&] {
            if (reason.empty()) reason = CannotOpenMessage(s->input, timeouts.openMs, [&s] { return s->Stopped(); });
            return reason;
        };
        if (s->settings.atEnd != LiveSettings::AtEnd::Reconnect) {
            // A file ends at its end; a loop starts over at once, unless a pass read nothing
            // (the file is gone or unreadable), which would only spin.
            const bool readSome = s->read > readBefore;
            if (readSome && s->settings.atEnd == LiveSettings::AtEnd::Restart) continue;
            if (!readSome) s->Report(false, explain());
            break;
        }
        // Going offline is said once, and so is a first attempt that fails; the retries are not.
        if (link.online || link.failures == 0) s->Report(false, explain());
        if (!link.Lost() || !s->Pause(link.backoff)) break;
        link.Lengthen();
    }
    s->Finish();
}

}  // namespace weapon_detect
