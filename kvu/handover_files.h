#pragma once

namespace kestrun {

// The files through which Kestrun and the updater tell each other how a new Kestrun fares, in
// the working folder.
// Put there by the updater when it has put a new Kestrun in place and kept the old one as
// "kestrun.old"; the new Kestrun removes it once it has run its first program check. While it
// lies there the new Kestrun is on trial: one that ends before that check is rolled back.
inline constexpr const char kTrialMarkerName[] = "kestrun.trial";
// The version of the last Kestrun that was rolled back: Kestrun fetches none that is not
// newer, and the updater puts none in place.
inline constexpr const char kFailedReleaseName[] = "kestrun.failed";
// The verified signature of "kestrun~", saved beside it by Kestrun: the updater puts in place
// only a kestrun~ that a trusted release key signed.
inline constexpr const char kNewSignatureName[] = "kestrun~.sig";

} // namespace kestrun
