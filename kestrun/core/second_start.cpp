#include "kestrun/core/second_start.h"

namespace kestrun {

namespace fs = std::filesystem;

fs::path SecondStart::channelFile(const fs::path& lockFile) {
    return lockFile.empty() ? fs::path() : lockFile.parent_path() / kChannelFile;
}

bool SecondStart::handOver(const fs::path& lockFile, const EventLog& log) {
    const fs::path file = channelFile(lockFile);
    if (file.empty())
        return false;
    const InstanceChannel::Answer answer = InstanceChannel::askToShow(file, kAnswerLimit);
    if (answer == InstanceChannel::Answer::NotOurs)
        log.log(kNotOursLine);
    return answer == InstanceChannel::Answer::Shown;
}

std::unique_ptr<InstanceChannel> SecondStart::listen(const fs::path& lockFile,
                                                     std::function<void()> showWindow) {
    const fs::path file = channelFile(lockFile);
    if (file.empty())
        return nullptr;
    return std::make_unique<InstanceChannel>(file, std::move(showWindow));
}

} // namespace kestrun
