// One run of weapon-detect over its cameras, after the command line and the site config
// are read: check the plan, load a detector per camera, analyse every camera on a thread
// of its own, then commit the outputs, score and summarise.
#pragma once

#include "settings.h"
#include "stop_signal.h"

namespace weapon_detect {

// Runs what `options` ask (writing the demo scene first for options.demo) and returns the
// exit status: 0, 1 when a camera failed or an alarm was lost, 130 when stopped. `stop` is
// raised by the caller's signal handler; the run reads it between frames and waits on it,
// and a worker left behind still wakes it, so it must live as long as the process.
// Throws CLI::ValidationError for options that do not fit together, OpenInterrupted when
// the stop came while an input was being opened, std::exception for a run that cannot
// start (models, outputs). When a worker is still blocked in its input after the stop,
// ends the process itself (std::_Exit) once every output is committed.
int Run(Options& options, StopSignal& stop);

}  // namespace weapon_detect
