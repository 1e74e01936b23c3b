#pragma once

#include "common/file_version.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrun {

// Reads a number from a stream of characters the way atoi reads a text: leading blanks
// skipped, an optional sign, then digits up to the first other character.
class StreamingAtoi {
public:
    void feed(char c);
    bool done() const { return state_ == State::Done; }
    std::int32_t value() const;

private:
    enum class State { Blanks, Digits, Done };
    State state_ = State::Blanks;
    bool negative_ = false;
    std::int64_t magnitude_ = 0;
};

// Finds a program's version in a manifest that arrives piece by piece, keeping only a few
// bytes of it: the manifest's lines are joined without their line feeds (a CR stays), the
// first occurrence of the key is found, and the version text right after it, up to the end of
// its line, is split at "." three times, each number read like atoi. A manifest of any size
// needs the same memory.
class ManifestScanner {
public:
    explicit ManifestScanner(std::string key);

    // Takes the next piece of the manifest; false once more text could not change the result.
    bool feed(std::string_view piece);
    // The version after the key, once the whole manifest (or enough of it) was fed; nullopt
    // when the key is missing or fewer than three "." follow it on its line.
    std::optional<FileVersion> result() const;

private:
    void take(char c);
    bool decided() const { return found_ && (ended_ || (part_ == 3 && numbers_[3].done())); }

    std::string key_;
    std::vector<std::size_t> fallback_; // how much of the key still matches after a mismatch
    std::size_t matched_ = 0;
    bool found_ = false;
    bool ended_ = false; // the line of the version text has ended
    std::size_t part_ = 0;
    std::array<StreamingAtoi, 4> numbers_{};
};

} // namespace kestrun
