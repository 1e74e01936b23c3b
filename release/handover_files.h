#pragma once

#include "release/program_names.h"

#include <string>

namespace kestrun {

// The files through which Kestrun and the updater tell each other how a new Kestrun fares, in
// the working folder, named after Kestrun's own file ("kestrun", "kestrun.exe").

// The Kestrun that a new one replaced, kept until the new one has run its first check:
// "kestrun.old".
inline std::string keptOldKestrunName() {
    return programFileName(kKestrunProgram) + ".old";
}
// Put there by the updater when it has put a new Kestrun in place and kept the old one; the new
// Kestrun removes it once it has run its first program check. While it lies there the new
// Kestrun is on trial: one that ends before that check is rolled back. "kestrun.trial".
inline std::string trialMarkerName() {
    return programFileName(kKestrunProgram) + ".trial";
}
// The version of the last Kestrun that was rolled back: Kestrun fetches none that is not
// newer, and the updater puts none in place. "kestrun.failed".
inline std::string failedReleaseName() {
    return programFileName(kKestrunProgram) + ".failed";
}
// The verified signature of the downloaded Kestrun, saved beside it by Kestrun: the updater
// puts in place only a download that a trusted release key signed. "kestrun~.sig".
inline std::string newSignatureName() {
    return downloadFileName(kKestrunProgram) + ".sig";
}

} // namespace kestrun
