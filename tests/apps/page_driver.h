// The page in headless chromium, driven by tests/support/cdp_page.py through chromium's
// remote-debugging protocol on loopback; each scenario answers one JSON object.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "program_harness.h"
#include "support/servers.h"

namespace program_test {

// Runs the scenario `name` with `args` (bounded: 300 s); its JSON verdict, {"error": …} when
// it failed, {} when it said nothing.
inline nlohmann::json DrivePage(const fs::path& scratch, const std::string& name,
                                const std::vector<std::string>& args) {
    std::vector<std::string> argv{"python3", CDP_PAGE, name};
    argv.insert(argv.end(), args.begin(), args.end());
    const fs::path out = scratch / (name + ".json");
    servers::Process driver(argv, out.string());
    EXPECT_EQ(driver.Wait(std::chrono::seconds(300)), 0) << ReadText(out);
    std::string last;
    std::istringstream lines(ReadText(out));
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line[0] == '{') last = line;
    }
    return nlohmann::json::parse(last.empty() ? "{}" : last, nullptr, false);
}

}  // namespace program_test
