// weapon-detect: runs the weapon-detection plug-in over video files, image sequences,
// cameras and streams, the way a host application drives it.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include <CLI/CLI.hpp>
#include <opencv2/core/utils/logger.hpp>

#include "input/video_source.h"
#include "options.h"
#include "run.h"
#include "secrets.h"
#include "reload_signal.h"
#include "stop_signal.h"
#include "web/password_hash.h"

using namespace weapon_detect;

namespace {

// Raised by the signal handler; the run reads it and sleeps on it.
StopSignal g_stop;
extern "C" void OnSignal(int) { g_stop.Raise(); }
// SIGHUP loads the page's TLS certificate again (a no-op without TLS): it never stops the run.
extern "C" void OnHangUp(int) { ReloadSignal::Process().Raise(); }

}  // namespace

int main(int argc, char** argv) {
    // A standard stream started closed would hand its number to the first file opened (the
    // JSON Lines output), and messages for standard error would land in it: fill the gap
    // with /dev/null opened for reading only, so that writing there still fails (records
    // for a closed standard output are a write error, never lost silently).
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDONLY) < 0) return 1;
    }
    Options options;
    CLI::App app{"Runs the weapon-detection plug-in over video files, image sequences (for example\n"
                 "frames/%04d.png), camera indices and stream URLs. Several inputs are several\n"
                 "cameras, each with its own detector on its own thread. Without inputs, runs the\n"
                 "synthetic demo scene with the demo models.",
                 "weapon-detect"};
    AddOptions(app, options);
    bool hashPassword = false;
    app.add_flag("--hash-password", hashPassword,
                 "Read a password from standard input (asked twice, unseen, on a terminal), print its hash for "
                 "the site config's http.users, and end; nothing else runs");
    app.set_version_flag("--version", std::string("weapon-detect ") + ZRV_VERSION);

    try {
        app.parse(argc, argv);
        if (hashPassword) return HashPasswordCommand(STDIN_FILENO, stdout, stderr);
        // The demo runs when asked, or when nothing at all is given; options without an
        // input are a mistake, never a reason to run something else.
        if (argc == 1) options.demo = true;
        if (!options.demo && options.inputs.empty() && options.config.empty()) {
            throw CLI::ValidationError("inputs", "no input given (give video files, image sequences, camera indices "
                                                 "or URLs, --config FILE, or --demo)");
        }
        if (!options.config.empty()) ApplySiteConfig(app, LoadSiteConfig(options.config), options);
    } catch (const CLI::ParseError& e) {
        // A refused value may quote a URL as given: its password is masked as in every message.
        std::ostringstream out, err;
        const int code = app.exit(e, out, err);
        std::cout << out.str() << std::flush;
        std::cerr << MaskSecrets(err.str()) << std::flush;
        return code == 0 ? 0 : 2;
    } catch (const ConfigError& e) {
        std::cerr << "weapon-detect: " << MaskSecrets(e.what()) << std::endl;
        return 2;
    }

    // Our own messages say what failed; OpenCV's warnings would only repeat it.
    cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_ERROR);
    if (options.opencvThreads > 0) cv::setNumThreads(options.opencvThreads == 1 ? 0 : options.opencvThreads);
    // The engine reads its thread count once, at its first load; set before any thread starts.
    if (options.engineThreads > 0) setenv("ZRV_ENGINE_THREADS", std::to_string(options.engineThreads).c_str(), 1);
    if (!options.enginePrecision.empty()) setenv("ZRV_ENGINE_PRECISION", options.enginePrecision.c_str(), 1);
    // Ctrl-C and SIGTERM (service managers) stop cleanly; SIGHUP reloads the page's TLS
    // certificate (systemctl reload); a closed pipe on standard output is a write error, not a
    // silent death.
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);
    // The video back end's own multi-line reports would only repeat our one message.
    setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0);
    try {
        ReloadSignal::Process();  // made before its handler can run
        std::signal(SIGHUP, OnHangUp);
        return Run(options, g_stop);
    } catch (const CLI::ValidationError& e) {
        std::cerr << "weapon-detect: " << MaskSecrets(e.what()) << std::endl;
        return 2;
    } catch (const OpenInterrupted&) {
        // The thread opening the input may never return: end without waiting for it.
        std::fflush(nullptr);
        std::_Exit(130);
    } catch (const std::exception& e) {
        std::cerr << "weapon-detect: " << MaskSecrets(e.what()) << std::endl;
        return 1;
    }
}
