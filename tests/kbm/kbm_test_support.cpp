#include "tests/kbm/kbm_test_support.h"

#include <chrono>
#include <cstdio>

namespace kestrun::test {

namespace fs = std::filesystem;

LocalDateTime stampOf(const char* text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    std::sscanf(text, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
    return LocalDateTime::fromFields(y, mo, d, h, mi, s);
}

KbmSandbox::KbmSandbox()
    : work(root / "work"), data(root / "data"), src(root / "src"), dest(root / "dest"),
      config(root / "config"), appData("APPDATA", data.string()),
      configHome("XDG_CONFIG_HOME", config.string()), cwd((fs::create_directories(work), work)),
      clock(stampOf("2024-01-05 09:30:00")), log(work, clock) {
    fs::create_directories(src);
    fs::create_directories(dest);
    run_.workingFolder = work;
    run_.dataFolder = data;
    run_.settings.destinationIsFolder = 1;
    run_.settings.destination = dest.string();
}

std::string KbmSandbox::source(const std::string& relative, const std::string& content) {
    writeFile(src / relative, content);
    return (src / relative).string();
}

std::string KbmSandbox::mirrorCopy(const std::string& fullPath) const {
    return dest.string() + "/" + *relativePath(fullPath);
}

std::string KbmSandbox::setCopy(const std::string& fullPath, const LocalDateTime& stamp) const {
    return dest.string() + "/" + stamp.format(kSetStampFormat) + "/" + *relativePath(fullPath);
}

std::string KbmSandbox::marker(const std::string& fullPath) const {
    return markerFolder(data) + *relativePath(fullPath);
}

fs::path KbmSandbox::autodeleteList(const LocalDateTime& stamp) const {
    return fs::path(autodeleteFolder(data)) / (stamp.format(kSetStampFormat) + ".txt");
}

LocalDateTime KbmSandbox::run(FileSender* sender) {
    return BackupRun(run_, clock, log, progress, sender).perform();
}

std::vector<std::string> KbmSandbox::logMessages() const {
    std::vector<std::string> messages;
    if (!fs::exists(log.file()))
        return messages;
    for (const std::string& line : readLines(log.file())) {
        const auto tab = line.find('\t');
        messages.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
    }
    return messages;
}

std::string KbmSandbox::queue() const {
    return readFile(work / kQueueFile);
}

void setModifiedRelative(const fs::path& file, const fs::path& other, int seconds) {
    fs::last_write_time(file, fs::last_write_time(other) + std::chrono::seconds(seconds));
}

} // namespace kestrun::test
