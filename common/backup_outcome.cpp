#include "common/backup_outcome.h"

#include "common/ini_document.h"

#include <charconv>

namespace kestrun {

namespace {

constexpr std::string_view kSection = "General";

std::optional<std::uint64_t> readCount(const IniDocument& doc, std::string_view key) {
    const auto text = doc.value(kSection, key);
    if (!text)
        return std::uint64_t{0};
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), value);
    if (ec != std::errc() || end != text->data() + text->size())
        return std::nullopt;
    return value;
}

std::string plural(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::filesystem::path backupOutcomeFile(const std::filesystem::path& dataFolder) {
    return dataFolder / "KBM" / "last-run.txt";
}

std::string formatBackupOutcome(const BackupOutcome& o) {
    IniDocument doc;
    doc.set(kSection, "Started", o.started.format(kSetStampFormat));
    doc.set(kSection, "Result", o.delivered ? "completed" : "failed");
    doc.set(kSection, "Copied", std::to_string(o.filesCopied));
    doc.set(kSection, "Bytes", std::to_string(o.bytesCopied));
    doc.set(kSection, "Failed", std::to_string(o.filesFailed));
    doc.set(kSection, "Destination", o.destination);
    doc.set(kSection, "Reason", o.reason);
    return doc.text();
}

std::optional<BackupOutcome> parseBackupOutcome(std::string_view text) {
    const IniDocument doc(text);
    BackupOutcome o;
    const auto started = doc.value(kSection, "Started");
    const auto result = doc.value(kSection, "Result");
    if (!started || !result || (*result != "completed" && *result != "failed"))
        return std::nullopt;
    // "%Y%m%d-%H%M%S"
    int f[6] = {};
    const char* p = started->data();
    const int widths[6] = {4, 2, 2, 2, 2, 2};
    std::size_t at = 0;
    for (int i = 0; i < 6; ++i) {
        if (i == 3) {
            if (at >= started->size() || (*started)[at] != '-')
                return std::nullopt;
            ++at;
        }
        if (at + widths[i] > started->size())
            return std::nullopt;
        const auto [end, ec] = std::from_chars(p + at, p + at + widths[i], f[i]);
        if (ec != std::errc() || end != p + at + widths[i])
            return std::nullopt;
        at += widths[i];
    }
    if (at != started->size())
        return std::nullopt;
    o.started = LocalDateTime::fromFields(f[0], f[1], f[2], f[3], f[4], f[5]);
    if (!o.started.valid())
        return std::nullopt;
    o.delivered = *result == "completed";
    const auto copied = readCount(doc, "Copied");
    const auto bytes = readCount(doc, "Bytes");
    const auto failed = readCount(doc, "Failed");
    if (!copied || !bytes || !failed)
        return std::nullopt;
    o.filesCopied = *copied;
    o.bytesCopied = *bytes;
    o.filesFailed = *failed;
    o.destination = doc.value(kSection, "Destination").value_or("");
    o.reason = doc.value(kSection, "Reason").value_or("");
    return o;
}

std::string backupSummaryLine(const BackupOutcome& o) {
    return "Backup summary: " + plural(o.filesCopied, "file", "files") + " copied (" +
           plural(o.bytesCopied, "byte", "bytes") + "), " + std::to_string(o.filesFailed) +
           " failed, to " + o.destination;
}

std::string lastBackupText(const BackupOutcome& o) {
    if (!o.delivered)
        return "Last backup failed: " + o.reason;
    std::string text = "Last backup " + o.started.format("%d.%m.%Y %H:%M") + ": " +
                       plural(o.filesCopied, "file", "files") + " copied";
    if (o.filesFailed != 0)
        text += ", " + std::to_string(o.filesFailed) + " failed";
    return text;
}

} // namespace kestrun
