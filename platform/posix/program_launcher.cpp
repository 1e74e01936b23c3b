#include "platform/program_launcher.h"

#include "common/text.h"
#include "platform/program_paths.h"

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrun {

namespace fs = std::filesystem;

namespace {

QString fromPath(const fs::path& path) {
    return QFile::decodeName(path.c_str());
}

fs::path absoluteOf(const fs::path& path) {
    std::error_code ec;
    fs::path full = fs::absolute(path, ec);
    return ec ? path : full;
}

} // namespace

DetachedProgramLauncher::DetachedProgramLauncher()
    : DetachedProgramLauncher(currentExecutableDir()) {}

DetachedProgramLauncher::DetachedProgramLauncher(fs::path besideFolder)
    : besideFolder_(std::move(besideFolder)) {}

std::optional<std::int64_t> DetachedProgramLauncher::start(const std::string& path,
                                                           const std::string& parameters,
                                                           const fs::path& workingFolder,
                                                           bool /*minimised*/) {
    // A NUL byte would cut the path or a word short: some other file would start.
    if (path.empty() || path.find('\0') != std::string::npos ||
        parameters.find('\0') != std::string::npos)
        return std::nullopt;
    const QStringList words = QProcess::splitCommand(QFile::decodeName(parameters.c_str()));
    const bool jar = endsWith(toLowerAscii(path), ".jar");

    // A path with a folder is made absolute against the current directory (the started program
    // changes to its working folder before the path is resolved); a bare name is looked up.
    fs::path target;
    fs::path folder = workingFolder;
    if (path.find('/') == std::string::npos) {
        const auto found = locateFile(path, workingFolder, besideFolder_, !jar);
        if (!found)
            return std::nullopt;
        target = absoluteOf(*found);
        folder = target.parent_path();
    } else {
        target = absoluteOf(path);
    }

    QString program;
    QStringList arguments;
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0)
        return std::nullopt;
    if (jar) {
        // Java would start and fail on a missing file: that is a failed start.
        if (!S_ISREG(st.st_mode))
            return std::nullopt;
        program = QStringLiteral("java");
        arguments << QStringLiteral("-jar") << fromPath(target) << words;
    } else if (S_ISREG(st.st_mode) && ::access(target.c_str(), X_OK) == 0) {
        program = fromPath(target);
        arguments = words;
    } else {
        program = QStringLiteral("xdg-open");
        arguments << fromPath(target);
    }

    qint64 pid = 0;
    const QString dir = folder.empty() ? QString() : fromPath(folder);
    if (!QProcess::startDetached(program, arguments, dir, &pid))
        return std::nullopt;
    return static_cast<std::int64_t>(pid);
}

} // namespace kestrun
