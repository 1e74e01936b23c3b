#include "platform/program_launcher.h"

#include "common/text.h"

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

// A path with a folder is made absolute against the current directory: the started program
// changes to its working folder before the path is resolved.
fs::path absoluteIfFolder(const std::string& path) {
    if (path.find('/') == std::string::npos)
        return fs::path(path);
    std::error_code ec;
    fs::path absolute = fs::absolute(path, ec);
    return ec ? fs::path(path) : absolute;
}

} // namespace

std::optional<std::int64_t> DetachedProgramLauncher::start(const std::string& path,
                                                           const std::string& parameters,
                                                           const fs::path& workingFolder,
                                                           bool /*minimised*/) {
    if (path.empty())
        return std::nullopt;
    const QStringList words = QProcess::splitCommand(QFile::decodeName(parameters.c_str()));
    const fs::path target = absoluteIfFolder(path);

    QString program;
    QStringList arguments;
    if (endsWith(toLowerAscii(path), ".jar")) {
        // Java would start and fail on a missing file: that is a failed start.
        struct stat st {};
        if (::stat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return std::nullopt;
        program = QStringLiteral("java");
        arguments << QStringLiteral("-jar") << fromPath(target) << words;
    } else if (path.find('/') == std::string::npos) {
        // A bare name: the launch looks it up on PATH.
        program = fromPath(target);
        arguments = words;
    } else {
        struct stat st {};
        if (::stat(target.c_str(), &st) != 0)
            return std::nullopt;
        if (S_ISREG(st.st_mode) && ::access(target.c_str(), X_OK) == 0) {
            program = fromPath(target);
            arguments = words;
        } else {
            program = QStringLiteral("xdg-open");
            arguments << fromPath(target);
        }
    }

    qint64 pid = 0;
    const QString folder = workingFolder.empty() ? QString() : fromPath(workingFolder);
    if (!QProcess::startDetached(program, arguments, folder, &pid))
        return std::nullopt;
    return static_cast<std::int64_t>(pid);
}

} // namespace kestrun
