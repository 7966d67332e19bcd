#pragma once
// Runs nimbrel-publish, nimbrel-cli or qpak as the release tests do: the single-instance lock in
// the test's own runtime folder, and none of the settings a developer's shell may hold that would
// change where a run patches from or what a signed run accepts.

#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace nimbrel::test {

inline ProcessOutput runReleaseTool(const std::vector<std::string>& argv, const std::string& runtimeFolder,
                                    const std::vector<std::string>& environment = {}) {
    ChildProcess::Options options;
    options.setEnvironment = {"XDG_RUNTIME_DIR=" + runtimeFolder};
    options.setEnvironment.insert(options.setEnvironment.end(), environment.begin(), environment.end());
    options.unsetEnvironment = {"NIMBREL_PATCH_URL", "NIMBREL_PATCH_PUBLIC_KEY", "NIMBREL_PATCH_CHANNEL",
                                "NIMBREL_KEY_PASSPHRASE"};
    options.outputFolder = runtimeFolder;
    return ChildProcess::run(argv, options);
}

}  // namespace nimbrel::test
