// The command line of weapon-detect, and how a site config file fills what it leaves out.
// Both follow the settings table (settings.h).
#pragma once

#include <CLI/CLI.hpp>

#include "settings.h"
#include "site_config.h"

namespace weapon_detect {

// Adds every setting of the table to `app`, bound to `options`; the model folder and the
// module default to those beside the program.
void AddOptions(CLI::App& app, Options& options);

// Fills every option not given on the command line from the site config; the file's
// cameras come after the inputs of the command line.
void ApplySiteConfig(const CLI::App& app, const SiteConfig& site, Options& options);

}  // namespace weapon_detect
