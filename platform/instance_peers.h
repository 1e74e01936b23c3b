#pragma once

namespace kestrun {

// The instance channel's peers, on every system: of those still waiting for their request
// (not `done`), only `kept` stay; the ones waiting longest (first in the list) are read once
// more, in case their request has come meanwhile, and then finished.
template <typename Peers, typename Read, typename Finish>
void keepNewestWaiting(Peers& peers, int kept, Read read, Finish finish) {
    int waiting = 0;
    for (const auto& peer : peers)
        waiting += peer.done ? 0 : 1;
    for (auto& oldest : peers) {
        if (waiting <= kept)
            break;
        if (oldest.done)
            continue;
        read(oldest);
        finish(oldest);
        --waiting;
    }
}

} // namespace kestrun
