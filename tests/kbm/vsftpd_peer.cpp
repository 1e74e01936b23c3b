#include "tests/kbm/vsftpd_peer.h"

#include "platform/regular_file.h"
#include "tests/support/test_support.h"

#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <vector>

namespace kestrun::test {

namespace fs = std::filesystem;

namespace {

const fs::path kVsftpd = "/usr/sbin/vsftpd";
constexpr int kPassivePorts = 16;

bool portFree(int port) {
    const FileDescriptor socket(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return socket &&
           ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// The first of 1 + kPassivePorts free ports in a row, below the ephemeral ports; 0 if none.
int freePorts() {
    std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int first = 20000 + static_cast<int>(random() % 12000);
        int port = first;
        while (port <= first + kPassivePorts && portFree(port))
            ++port;
        if (port > first + kPassivePorts)
            return first;
    }
    return 0;
}

// Whether something listens on 127.0.0.1:port (in /proc/net/tcp: address, no peer, state 0A).
bool listening(int port) {
    char entry[64];
    std::snprintf(entry, sizeof entry, " 0100007F:%04X 00000000:0000 0A ", port);
    return readFile("/proc/net/tcp").find(entry) != std::string::npos;
}

// The processes whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> children;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // pid (comm) state ppid ...: the name may hold blanks and parentheses.
        const std::string stat = readFile(entry.path() / "stat");
        const auto close = stat.rfind(')');
        int ppid = 0;
        if (close != std::string::npos &&
            std::sscanf(stat.c_str() + close + 1, " %*c %d", &ppid) == 1 && ppid == parent)
            children.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return children;
}

} // namespace

VsftpdPeer::VsftpdPeer(const fs::path& root, Tls tls, const Certificate& certificate) {
    if (!fs::exists(kVsftpd)) {
        whyNot_ = "vsftpd is not installed (" + kVsftpd.string() + "; scripts/setup.sh)";
        return;
    }
    const int port = freePorts();
    if (port == 0) {
        whyNot_ = "no free ports for vsftpd";
        return;
    }
    const fs::path dir = dir_.path().toStdString();
    fs::create_directories(dir / "empty");
    fs::create_directories(root / "backup");
    fs::permissions(root / "backup", fs::perms::all);
    std::vector<std::string> options{
        "listen=YES", "listen_ipv6=NO", "listen_address=127.0.0.1", "background=NO",
        "listen_port=" + std::to_string(port), "pasv_min_port=" + std::to_string(port + 1),
        "pasv_max_port=" + std::to_string(port + kPassivePorts),
        // Active-mode data connections from any port, not from port 20, which all servers share.
        "connect_from_port_20=NO", "anonymous_enable=YES", "local_enable=NO", "write_enable=YES",
        "anon_root=" + root.string(), "anon_upload_enable=YES", "anon_mkdir_write_enable=YES",
        "anon_other_write_enable=YES", "anon_umask=022",
        // An empty folder of its own, whatever the system's service has made.
        "secure_chroot_dir=" + (dir / "empty").string(), "xferlog_enable=YES",
        "xferlog_std_format=NO", "log_ftp_protocol=YES",
        "vsftpd_log_file=" + (dir / "vsftpd.log").string(),
        tls == Tls::None ? "ssl_enable=NO" : "ssl_enable=YES"};
    if (tls != Tls::None) {
        const std::string forced = tls == Tls::Required ? "=YES" : "=NO";
        options.insert(options.end(),
                       {"allow_anon_ssl=YES", "rsa_cert_file=" + certificate.cert.string(),
                        "rsa_private_key_file=" + certificate.key.string(),
                        "force_anon_logins_ssl" + forced, "force_anon_data_ssl" + forced,
                        "force_local_logins_ssl" + forced, "force_local_data_ssl" + forced});
    }
    std::string config;
    for (const std::string& option : options)
        config += option + "\n";
    writeFile(dir / "vsftpd.conf", config);

    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setStandardOutputFile(QString::fromStdString((dir / "output").string()));
    process_.start(QString::fromStdString(kVsftpd.string()),
                   {QString::fromStdString((dir / "vsftpd.conf").string())});
    QElapsedTimer timer;
    timer.start();
    while (process_.waitForStarted(10000) && timer.elapsed() < 15000) {
        if (listening(port)) {
            port_ = port;
            return;
        }
        if (process_.waitForFinished(20))
            break;
    }
    // vsftpd says why on its output, but not when it is not started as root.
    std::string why = readFile(dir / "output");
    if (why.empty() && process_.error() == QProcess::FailedToStart)
        why = process_.errorString().toStdString();
    else if (why.empty() && process_.state() == QProcess::NotRunning)
        why = "it ended with exit code " + std::to_string(process_.exitCode()) +
              (::geteuid() == 0 ? "" : "; it must be started as root");
    else if (why.empty())
        why = "it does not listen after 15 s";
    whyNot_ = "vsftpd did not start: " + why;
}

VsftpdPeer::~VsftpdPeer() {
    kill();
}

std::string VsftpdPeer::log() const {
    const fs::path file = dir_.filePath("vsftpd.log").toStdString();
    return fs::exists(file) ? readFile(file) : std::string();
}

void VsftpdPeer::kill() {
    if (process_.state() == QProcess::NotRunning)
        return;
    // Each process is stopped before its children are looked for, so none is forked unseen.
    std::vector<pid_t> tree{static_cast<pid_t>(process_.processId())};
    for (std::size_t i = 0; i < tree.size(); ++i) {
        ::kill(tree[i], SIGSTOP);
        for (const pid_t child : childrenOf(tree[i]))
            tree.push_back(child);
    }
    for (const pid_t pid : tree)
        ::kill(pid, SIGKILL);
    process_.waitForFinished(5000);
}

} // namespace kestrun::test
