#include "motion/sound/playlist.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace {
// `lower` is in lower case already.
bool sameFolded(char lower, char any) {
    return lower == std::tolower(static_cast<unsigned char>(any));
}

bool endsWithFolded(const std::string& text, const std::string& suffix) {
    if (text.size() < suffix.size()) return false;
    return std::equal(suffix.begin(), suffix.end(),
                      text.end() - static_cast<std::ptrdiff_t>(suffix.size()), sameFolded);
}

bool startsWithFolded(const std::string& text, std::size_t at, const std::string& prefix) {
    if (text.size() - at < prefix.size()) return false;
    return std::equal(prefix.begin(), prefix.end(),
                      text.begin() + static_cast<std::ptrdiff_t>(at), sameFolded);
}

std::string trimmed(const std::string& text, std::size_t from, std::size_t to) {
    while (from < to && std::isspace(static_cast<unsigned char>(text[from]))) ++from;
    while (to > from && std::isspace(static_cast<unsigned char>(text[to - 1]))) --to;
    return text.substr(from, to - from);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    const int lower = std::tolower(static_cast<unsigned char>(c));
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// %00 stays as it is written.
std::string percentDecoded(const std::string& text) {
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int high = i + 2 < text.size() && text[i] == '%' ? hexDigit(text[i + 1]) : -1;
        const int low = high >= 0 ? hexDigit(text[i + 2]) : -1;
        if (low >= 0 && (high | low) != 0) {
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

// file:///music/a.flac and file://localhost/music/a.flac are both /music/a.flac.
std::string asPath(const std::string& entry, const std::string& folder) {
    if (startsWithFolded(entry, 0, "file://")) {
        const std::size_t path = entry.find('/', 7);
        return path == std::string::npos ? std::string() : percentDecoded(entry.substr(path));
    }
    if (entry.front() == '/' || isWebAddress(entry)) return entry;
    return folder + entry;
}
}  // namespace

PlaylistKind playlistKind(const std::string& path) {
    if (endsWithFolded(path, ".m3u") || endsWithFolded(path, ".m3u8")) return PlaylistKind::M3u;
    if (endsWithFolded(path, ".pls")) return PlaylistKind::Pls;
    return PlaylistKind::None;
}

bool isWebAddress(const std::string& entry) {
    const std::size_t colon = entry.find("://");
    if (colon == 0 || colon == std::string::npos || startsWithFolded(entry, 0, "file://")) {
        return false;
    }
    const auto schemeLetter = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    };
    return std::isalpha(static_cast<unsigned char>(entry[0])) &&
           std::all_of(entry.begin(), entry.begin() + static_cast<std::ptrdiff_t>(colon), schemeLetter);
}

std::vector<std::string> readPlaylist(const std::string& text, PlaylistKind kind,
                                      const std::string& folder, std::size_t entriesMax) {
    std::vector<std::pair<long, std::string>> entries;  // PLS's N, or the line's place
    const std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (std::size_t from = start; from < text.size() && entries.size() < entriesMax;) {
        std::size_t end = text.find('\n', from);
        if (end == std::string::npos) end = text.size();
        const std::string line = trimmed(text, from, end);
        from = end + 1;
        if (kind == PlaylistKind::M3u) {
            if (!line.empty() && line[0] != '#') {
                entries.emplace_back(static_cast<long>(entries.size()), line);
            }
            continue;
        }
        // FileN=entry; N is at most nine digits, so that it fits.
        std::size_t digits = 4;
        while (digits < line.size() && digits < 13 &&
               std::isdigit(static_cast<unsigned char>(line[digits]))) {
            ++digits;
        }
        if (digits == 4 || digits >= line.size() || line[digits] != '=' ||
            !startsWithFolded(line, 0, "file")) {
            continue;
        }
        const std::string entry = trimmed(line, digits + 1, line.size());
        if (!entry.empty()) entries.emplace_back(std::stol(line.substr(4, digits - 4)), entry);
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> paths;
    for (const auto& entry : entries) {
        // A NUL would end the path early: another file would be opened than the one named.
        std::string path = asPath(entry.second, folder);
        if (!path.empty() && path.find('\0') == std::string::npos) paths.push_back(std::move(path));
    }
    return paths;
}
