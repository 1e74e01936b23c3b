#include "tests/kbm/kbm_test_support.h"

#include "platform/path_rules.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>

namespace kestrun::test {

namespace fs = std::filesystem;

std::string native(std::string path) {
    std::replace(path.begin(), path.end(), '/', pathSeparator());
    return path;
}

LocalDateTime stampOf(const char* text) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    std::sscanf(text, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
    return LocalDateTime::fromFields(y, mo, d, h, mi, s);
}

std::string randomBytes(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    // Not std::mt19937: with MinGW its refill from our objects breaks Qt's random generator.
    std::minstd_rand random(seed);
    for (char& c : bytes)
        c = static_cast<char>(random());
    return bytes;
}

Certificate trustedCertificate(KbmSandbox& box, const std::string& name) {
    const Certificate certificate = makeCertificate(box.root.path(), name);
    writeFile(box.work / "ca.pem", readFile(certificate.cert));
    return certificate;
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
    // Written with "/" in the tests; named with the system's separators, as the walk names it.
    const fs::path file = src / fs::path(relative).make_preferred();
    writeFile(file, content);
    return file.string();
}

std::string KbmSandbox::mirrorCopy(const std::string& fullPath) const {
    return joinPath(dest.string(), *relativePath(fullPath));
}

std::string KbmSandbox::setCopy(const std::string& fullPath, const LocalDateTime& stamp) const {
    return joinPath(joinPath(dest.string(), stamp.format(kSetStampFormat)),
                    *relativePath(fullPath));
}

std::string KbmSandbox::marker(const std::string& fullPath) const {
    return markerFolder(data) + *relativePath(fullPath);
}

fs::path KbmSandbox::autodeleteList(const LocalDateTime& stamp) const {
    return fs::path(autodeleteFolder(data)) / (stamp.format(kSetStampFormat) + ".txt");
}

LocalDateTime KbmSandbox::run(FileSender* sender) {
    BackupRun run(run_, clock, log, progress, sender);
    const LocalDateTime stamp = run.perform();
    outcome = run.outcome();
    return stamp;
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

std::string treeSnapshot(const fs::path& folder) {
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(folder);
         it != fs::recursive_directory_iterator(); ++it) {
        const fs::path rel = fs::relative(it->path(), folder);
        std::string line = rel.string();
        if (it->is_symlink())
            line += " -> " + fs::read_symlink(it->path()).string();
        else if (it->is_directory())
            line += "/";
        else if (it->is_regular_file())
            line += " = " + readFile(it->path());
        lines.push_back(line + " " + std::to_string(modeOf(it->path())));
    }
    std::sort(lines.begin(), lines.end());
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

// Windows has no bits of its own: there they are what its C runtime makes up, which compare
// equal as long as nothing changed.
unsigned modeOf(const fs::path& path) {
    std::error_code ec;
    const fs::file_status status = fs::symlink_status(path, ec);
    if (ec || !fs::exists(status))
        return 0;
    return static_cast<unsigned>(status.permissions() & fs::perms::mask) & 07777u;
}

} // namespace kestrun::test
