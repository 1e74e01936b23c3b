#include "kestrun/update/manifest_scanner.h"

#include <cctype>
#include <limits>

namespace kestrun {

namespace {
constexpr std::int64_t kAtoiLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
}

void StreamingAtoi::feed(char c) {
    const auto byte = static_cast<unsigned char>(c);
    switch (state_) {
    case State::Blanks:
        if (std::isspace(byte))
            return;
        if (c == '+' || c == '-') {
            negative_ = c == '-';
            state_ = State::Digits;
            return;
        }
        state_ = State::Digits;
        [[fallthrough]];
    case State::Digits:
        if (!std::isdigit(byte)) {
            state_ = State::Done;
            return;
        }
        magnitude_ = magnitude_ * 10 + (c - '0');
        if (magnitude_ > kAtoiLimit)
            magnitude_ = kAtoiLimit;
        return;
    case State::Done:
        return;
    }
}

std::int32_t StreamingAtoi::value() const {
    if (negative_)
        return static_cast<std::int32_t>(-magnitude_);
    return static_cast<std::int32_t>(magnitude_ >= kAtoiLimit ? kAtoiLimit - 1 : magnitude_);
}

ManifestScanner::ManifestScanner(std::string key) : key_(std::move(key)) {
    // The longest proper prefix of key[0..i] that is also its suffix, for every i.
    fallback_.assign(key_.size(), 0);
    for (std::size_t i = 1, k = 0; i < key_.size(); ++i) {
        while (k > 0 && key_[i] != key_[k])
            k = fallback_[k - 1];
        if (key_[i] == key_[k])
            ++k;
        fallback_[i] = k;
    }
    found_ = key_.empty();
}

bool ManifestScanner::feed(std::string_view piece) {
    if (decided())
        return false;
    for (const char c : piece) {
        if (c != '\n')
            take(c);
        else if (found_)
            ended_ = true; // the version text ends with its line
        if (decided())
            return false;
    }
    return true;
}

void ManifestScanner::take(char c) {
    if (!found_) {
        while (matched_ > 0 && c != key_[matched_])
            matched_ = fallback_[matched_ - 1];
        if (c == key_[matched_])
            ++matched_;
        found_ = matched_ == key_.size();
        return;
    }
    if (part_ < 3 && c == '.') {
        ++part_;
        return;
    }
    numbers_[part_].feed(c);
}

std::optional<FileVersion> ManifestScanner::result() const {
    if (!found_ || part_ < 3)
        return std::nullopt;
    FileVersion version;
    for (std::size_t i = 0; i < 4; ++i)
        version.parts[i] = static_cast<std::uint32_t>(numbers_[i].value());
    return version;
}

} // namespace kestrun
