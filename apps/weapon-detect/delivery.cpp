#include "delivery.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace weapon_detect {
namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point After(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

bool FinishDeliveries(WebhookSender* hooks, MqttPublisher* mqtt, StopSignal& stop, double seconds) {
    if (!hooks && !mqtt) return false;
    bool hurried = stop.raised();
    auto deadline = After(hurried ? std::min(seconds, kStopDrainSeconds) : seconds);
    if (mqtt) mqtt->SayOffline();
    if (hooks) hooks->Drain(deadline);
    auto done = [&] { return (!hooks || hooks->idle()) && (!mqtt || mqtt->pending() == 0); };
    // The broker's acknowledgements come on its client's thread without a wake-up for this
    // one: look every 20 ms; a stop wakes it at once.
    while (!done() && Clock::now() < deadline) {
        if (!hurried && stop.raised()) {
            hurried = true;
            deadline = std::min(deadline, After(kStopDrainSeconds));
            if (hooks) hooks->Drain(deadline);
        }
        stop.WaitUntil(std::min(deadline, Clock::now() + std::chrono::milliseconds(20)));
    }
    bool lost = false;
    if (hooks) {
        hooks->Finish();
        if (hooks->lost() > 0) {
            lost = true;
            std::fprintf(stderr,
                         "weapon-detect: %lld web hook messages were lost (%lld dropped from a full queue, %lld "
                         "refused by the receiver, %lld not delivered in time)\n",
                         hooks->lost(), hooks->dropped(), hooks->refused(), hooks->undelivered());
        }
    }
    if (mqtt) {
        mqtt->Close();
        const long long mqttLost = mqtt->dropped() + mqtt->rejected() + mqtt->undelivered();
        if (mqttLost > 0) {
            lost = true;
            std::fprintf(stderr,
                         "weapon-detect: %lld MQTT messages were lost (%lld dropped from a full queue, %lld "
                         "refused, %lld not delivered in time)\n",
                         mqttLost, mqtt->dropped(), mqtt->rejected(), mqtt->undelivered());
        }
    }
    return lost;
}

}  // namespace weapon_detect
