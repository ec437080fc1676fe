// Guards for the process-wide settings that tests change: each saves the
// setting when made and puts it back when it goes away, also when an
// assertion ends the test early.
#pragma once

#include "driver/options.h"
#include "package/package.h"

namespace testsupport {

// Saves all of probeSettings; the test then changes the fields it needs.
class SavedProbeSettings {
public:
    SavedProbeSettings() : saved(probeSettings) {}
    ~SavedProbeSettings() { probeSettings = saved; }
    SavedProbeSettings(const SavedProbeSettings&) = delete;
    SavedProbeSettings& operator=(const SavedProbeSettings&) = delete;

private:
    ProbeSettings saved;
};

// Sets options.verbose (-v) to `on` for the life of the object.
class VerboseSetting {
public:
    explicit VerboseSetting(bool on = true) : saved(options.verbose) { options.verbose = on; }
    ~VerboseSetting() { options.verbose = saved; }
    VerboseSetting(const VerboseSetting&) = delete;
    VerboseSetting& operator=(const VerboseSetting&) = delete;

private:
    bool saved;
};

}  // namespace testsupport
