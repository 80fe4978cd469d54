// The end of a run's deliveries: what the web hooks and the MQTT broker have not taken yet
// gets a bounded time to go out, and what could not go out makes the run a failure.
//
// The drain deadline: `seconds` (--delivery-timeout) after the inputs ended, or at most
// kStopDrainSeconds after a stop (Ctrl-C, SIGTERM), whether the stop came before or
// during the drain. Web hooks and MQTT drain at the same time, so the bound is for both
// together; a wait before a retry and a POST under way end at the deadline too.
#pragma once

#include "output/mqtt_publisher.h"
#include "output/webhook_sender.h"
#include "stop_signal.h"

namespace weapon_detect {

constexpr double kStopDrainSeconds = 5.0;

// Called by the main thread once no camera posts anything any more; either may be null.
// Says "offline" on MQTT, waits until everything is delivered or the drain deadline, then
// closes both and says per channel what was lost (dropped from a full queue, refused, or not
// delivered in time). True when any message was lost.
bool FinishDeliveries(WebhookSender* hooks, MqttPublisher* mqtt, StopSignal& stop, double seconds);

}  // namespace weapon_detect
