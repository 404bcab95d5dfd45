#include "motion/playlist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include "motion/audio_format.h"
#include "motion/messages.h"

const char MUSIC_FILE[] = "1.mp3";

void reportUnplayable(const char* what, const char* reason, bool othersLeft) {
    const std::string message =
        std::string(reason) + (othersLeft ? "; skipped" : "; running without music");
    tellUser(what, message.c_str());
}

namespace {
bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

int foldCase(char c) {
    return std::tolower(static_cast<unsigned char>(c));
}

// Without O_NONBLOCK a FIFO would block here until a writer came along.
bool holdsMusic(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    unsigned char head[SNIFF_BYTES];
    const ssize_t got = read(fd, head, sizeof head);
    close(fd);
    return got > 0 && looksLikeMusic(head, static_cast<std::size_t>(got));
}

// Adds the music files directly inside `folder` to `tracks` in folder order; says why not, if none.
std::string addFolder(const std::string& folder, std::vector<std::string>& tracks) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return std::strerror(errno);
    const std::string prefix = folder.back() == '/' ? folder : folder + '/';
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.' && holdsMusic(prefix + entry->d_name)) {
            names.emplace_back(entry->d_name);
        }
    }
    closedir(listing);
    if (names.empty()) return "no music files in it";
    std::sort(names.begin(), names.end(), comesBeforeInFolder);
    for (const std::string& name : names) tracks.push_back(prefix + name);
    return "";
}
}  // namespace

bool comesBeforeInFolder(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Leading zeros aside, the longer run is the larger number; runs as long compare by
            // their digits.
            while (i < a.size() && a[i] == '0') ++i;
            while (j < b.size() && b[j] == '0') ++j;
            const std::size_t aStart = i;
            const std::size_t bStart = j;
            while (i < a.size() && isDigit(a[i])) ++i;
            while (j < b.size() && isDigit(b[j])) ++j;
            if (i - aStart != j - bStart) return i - aStart < j - bStart;
            const int order = a.compare(aStart, i - aStart, b, bStart, j - bStart);
            if (order != 0) return order < 0;
        } else {
            if (foldCase(a[i]) != foldCase(b[j])) return foldCase(a[i]) < foldCase(b[j]);
            ++i;
            ++j;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

std::vector<std::string> listTracks(const std::vector<std::string>& operands) {
    if (operands.empty()) return {MUSIC_FILE};
    std::vector<std::string> tracks;
    std::vector<std::pair<std::string, std::string>> emptyFolders;  // and why
    for (const std::string& operand : operands) {
        struct stat info;
        if (stat(operand.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            tracks.push_back(operand);
        } else if (std::string why = addFolder(operand, tracks); !why.empty()) {
            emptyFolders.emplace_back(operand, why);
        }
    }
    // Said once the list is known, so that the last line says whether anything is left to play.
    for (std::size_t f = 0; f < emptyFolders.size(); ++f) {
        const bool last = f + 1 == emptyFolders.size();
        reportUnplayable(emptyFolders[f].first.c_str(), emptyFolders[f].second.c_str(),
                         !tracks.empty() || !last);
    }
    return tracks;
}
