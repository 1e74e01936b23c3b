#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace kestrun {

class FileSender;

// kbm's mark in the destination folder: a random id that the data folder records beside the
// markers. The markers tell what the destination holds only while both ids agree.
inline constexpr const char* kDestinationIdentityFile = ".kbm-destination";

// Which folder a path led to: its device and inode.
struct FolderIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FolderIdentity&) const = default;
};

// What a run learns of its destination folder before it scans.
struct DestinationCheck {
    // A mount point at the last run that is none now (the disk is not mounted): every copy
    // fails and nothing is written to it.
    bool absent = false;
    // The markers no longer say what the destination holds: every file is queued as new.
    bool refill = false;
    std::string message; // the log line telling why; empty when nothing is worth telling
    // The folder the destination led to; nullopt when it was missing or absent. A copy into
    // another folder by then (a disk unmounted or swapped during the run) fails.
    std::optional<FolderIdentity> folder;
};

// The destination of a run and what the data folder recorded of it at the last run
// (<data>/KBM/destination: the id, whether it was a mount point, its path). The destination is
// a folder, or an FTP account whose id the sender fetches and stores.
class DestinationIdentity {
public:
    DestinationIdentity(const std::filesystem::path& dataFolder, const std::string& destination);
    // An FTP account, named by `account` ("ftp://user@host:port"), reached through `server`.
    DestinationIdentity(const std::filesystem::path& dataFolder, const std::string& account,
                        FileSender& server);

    // Compares the destination with the record. `markerFolder` tells whether earlier copies
    // are forgotten by a refill (a first run has nothing to forget and says nothing).
    DestinationCheck check(const std::string& markerFolder);

    // After the run's copies: gives the destination an id when it has none and records it.
    // Nothing is written unless the destination is still what check() found there (the same
    // folder, mount point or not, with the same id), and never when it was missing or absent.
    // An account that takes an id but does not hand it back is recorded as one whose emptying
    // can not be seen, which is said once: it is not filled again at every run.
    // Returns that line, empty when there is nothing to say.
    std::string record();

    // A run to the FTP server: the markers then say nothing about the folder destination.
    void forget();

private:
    struct Record {
        std::string id;
        bool mountPoint = false;
        bool writeOnly = false; // an account that does not hand its id back
        std::string destination;
        bool operator==(const Record&) const = default;
    };
    // What the destination is at one moment; nullopt when it is missing.
    struct Seen {
        bool mountPoint = false;
        FolderIdentity folder;
        std::string id; // its valid id, empty when it has none
        bool operator==(const Seen&) const = default;
    };
    std::optional<Record> readRecord() const;
    bool writeRecord(const Record& record) const;
    std::optional<Seen> look() const;
    std::string recordAccount();

    std::filesystem::path recordFile_;
    std::string destination_;      // lexically normal, no trailing separator; or the account's name
    FileSender* server_ = nullptr; // the account's; null for a folder
    std::optional<Record> recorded_;
    std::optional<Seen> seen_; // at check(); nullopt when missing or absent
};

} // namespace kestrun
