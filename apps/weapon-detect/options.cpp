#include "options.h"

#include <cmath>
#include <stdexcept>
#include <type_traits>

#include "install_paths.h"

namespace weapon_detect {
namespace {

// CLI11's range checks let NaN through (every comparison with it is false).
CLI::Validator FiniteIn(double low, double high) {
    return CLI::Validator(
        [low, high](std::string& text) -> std::string {
            double value = 0.0;
            if (!CLI::detail::lexical_cast(text, value) || !std::isfinite(value) || value < low || value > high) {
                return "Value " + text + " is not a number in [" + CLI::detail::to_string(low) + " - " +
                       CLI::detail::to_string(high) + "]";
            }
            return {};
        },
        "NUMBER in [" + CLI::detail::to_string(low) + " - " + CLI::detail::to_string(high) + "]");
}

// The setting's own check of a text value, as CLI11 takes it.
CLI::Validator Refusal(void (*check)(const std::string&)) {
    return CLI::Validator(
        [check](std::string& text) -> std::string {
            try {
                check(text);
                return {};
            } catch (const std::invalid_argument& e) {
                return e.what();
            }
        },
        "");
}

template <typename T>
CLI::Validator RangeOf(const Setting& s) {
    if (std::isinf(s.high)) return CLI::NonNegativeNumber;
    return CLI::Range(static_cast<T>(s.low), static_cast<T>(s.high));
}

void AddFlagPair(CLI::App& app, const Setting& s, std::optional<bool>& target) {
    auto* on = app.add_flag_callback(
        s.flags, [&target] { target = true; }, s.help);
    auto* off = app.add_flag_callback(
        s.offFlag, [&target] { target = false; }, s.offHelp);
    on->excludes(off);
}

template <typename T>
void AddOne(CLI::App& app, const Setting& s, T& target) {
    if constexpr (std::is_same_v<T, bool>) {
        app.add_flag(s.flags, target, s.help);
    } else if constexpr (std::is_same_v<T, std::optional<bool>>) {
        AddFlagPair(app, s, target);
    } else {
        CLI::Option* option = app.add_option(s.flags, target, s.help);
        // Options take one value each; only the positional inputs take many.
        if constexpr (std::is_same_v<T, std::vector<std::string>>) {
            if (s.flags.front() == '-') option->allow_extra_args(false);
        }
        if (s.ranged) {
            if constexpr (std::is_integral_v<T>) option->check(RangeOf<T>(s));
            else option->check(FiniteIn(s.low, s.high));
        }
        if (s.existingFile) option->check(CLI::ExistingFile);
        if (s.check) option->check(Refusal(s.check));
        if (s.showDefault) option->capture_default_str();
    }
}

}  // namespace

void AddOptions(CLI::App& app, Options& options) {
    options.models = DefaultModelFolder();
    options.module = DefaultModulePath();
    for (const Setting& s : Settings()) {
        std::visit([&](auto member) { AddOne(app, s, options.*member); }, s.field);
    }
}

void ApplySiteConfig(const CLI::App& app, const SiteConfig& site, Options& options) {
    auto onCommandLine = [&app](const Setting& s) {
        return app.count(s.Flag()) > 0 || (!s.offFlag.empty() && app.count(s.offFlag) > 0);
    };
    for (const Setting& s : Settings()) {
        if (!site.Has(s) || onCommandLine(s)) continue;
        std::visit([&](auto member) { options.*member = site.values.*member; }, s.field);
    }
    options.users = site.values.users;
    for (CameraConfig camera : site.cameras) {
        // The command line's own settings override the file's, per camera too.
        for (const CameraSetting& c : CameraSettings()) {
            if (c.overriddenByCommandLine && onCommandLine(SettingFor(c.flag))) {
                std::visit([&camera](auto member) { camera.*member = {}; }, c.field);
            }
        }
        options.cameras.push_back(std::move(camera));
    }
}

}  // namespace weapon_detect
