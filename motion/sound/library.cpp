#include "motion/sound/library.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "motion/sound/audio_format.h"
#include "motion/sound/messages.h"
#include "motion/sound/playlist.h"

const char MUSIC_FILE[] = "1.mp3";

namespace {
// A playlist longer than this is not one a player saved.
constexpr off_t PLAYLIST_BYTES_MAX = 64 << 20;
// Nor are playlists nested deeper than this, each within the last: a chain of them made by a
// program would otherwise take the listing thread's whole stack.
constexpr std::size_t PLAYLISTS_NESTED_MAX = 64;
// Tracks listed in all: playlists naming each other twice over would otherwise list millions.
constexpr std::size_t TRACKS_MAX = 100000;

// The listing runs in a process of its own, forked before any thread starts, and hands each track
// over a pipe: a path and why it cannot play, each ended by a NUL. A listing stuck in a file
// system that does not answer (a network's, gone) is then no part of this process, which can end
// at once, as a thread stuck there would keep it from doing.
constexpr std::size_t TAKEN_BYTES_MAX = 1 << 20;  // read a tick, at most
pid_t lister = -1;
int fromLister = -1;        // the pipe's end here; -1 once the listing has ended or stopped
int toPlayer = -1;          // the pipe's end in the listing's process
std::string handedOver;     // bytes read that do not yet make a whole track
std::vector<ListedTrack> listedHere;  // named by the command line, listed at once
bool listingEnded = false;

// The listing thread's own, or startListing's before that thread starts.
std::size_t tracksListed = 0;
std::size_t entriesHeld = 0;  // of the playlists being read, still to list: each a track or more
bool tracksLeftOut = false;   // TRACKS_MAX reached with more to list: the listing ends

using FileId = std::pair<dev_t, ino_t>;

void list(std::string path, std::string whyNot = "") {
    if (tracksListed == TRACKS_MAX) {
        tracksLeftOut = true;
        return;
    }
    ++tracksListed;
    if (toPlayer < 0) {
        listedHere.push_back({std::move(path), std::move(whyNot)});
        return;
    }
    const std::string record = path + '\0' + whyNot + '\0';
    for (std::size_t sent = 0; sent < record.size();) {
        const ssize_t wrote = write(toPlayer, record.data() + sent, record.size() - sent);
        // The player has gone: so does the listing.
        if (wrote < 0 && errno != EINTR) _exit(0);
        if (wrote > 0) sent += static_cast<std::size_t>(wrote);
    }
}

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

bool listingOver() {
    return tracksLeftOut;
}

void sayRestLeftOut(const std::string& operand) {
    tellUser(operand.c_str(), "more than 100000 tracks; the rest is left out");
}

std::string folded(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A run of letters and signs as the locale orders it, case aside: compared folded first.
int compareWords(const std::string& a, const std::string& b) {
    const int order = std::strcoll(folded(a).c_str(), folded(b).c_str());
    return order != 0 ? order : std::strcoll(a.c_str(), b.c_str());
}

bool holdsMusic(const std::string& path) {
    unsigned char head[SNIFF_BYTES];
    const std::size_t got = readFileHead(path.c_str(), head);
    return got > 0 && looksLikeMusic(head, got);
}

// Lists the music in `folder` and below it; says how many tracks it found.
std::size_t listFolder(const std::string& folder, std::set<FileId>& walked) {
    DIR* listing = opendir(folder.c_str());
    if (listing == nullptr) return 0;
    const std::string prefix = folder.back() == '/' ? folder : folder + '/';
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(listing);
    std::sort(names.begin(), names.end(), comesBeforeInFolder);
    std::size_t found = 0;
    for (const std::string& name : names) {
        if (listingOver()) break;
        const std::string path = prefix + name;
        struct stat info;
        if (stat(path.c_str(), &info) != 0) continue;
        if (S_ISDIR(info.st_mode)) {
            // A link back up the tree, or to a folder already walked, ends there.
            if (walked.insert({info.st_dev, info.st_ino}).second) found += listFolder(path, walked);
        } else if (S_ISREG(info.st_mode) && holdsMusic(path)) {
            list(path);
            ++found;
        }
    }
    return found;
}

void listOperand(const std::string& operand, std::vector<FileId>& playlistsOpen);

// A playlist's entries, as many as there is room for in the listing (`cut` when there are more);
// its text is let go once they are read. Returns 0, or the errno of a failed read.
int readEntries(const std::string& path, PlaylistKind kind, std::vector<std::string>& entries,
                bool& cut) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    std::string text;
    // On the stack, not cleared: a chain of small playlists is read hundreds of thousands of times.
    char buffer[65536];
    ssize_t got = 0;
    while (text.size() <= PLAYLIST_BYTES_MAX && (got = read(fd, buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    const int readError = errno;
    close(fd);
    if (got < 0) return readError;
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    // One more than there is room for tells that the rest is left out.
    const std::size_t room = TRACKS_MAX - std::min(TRACKS_MAX, tracksListed + entriesHeld);
    entries = readPlaylist(text, kind, folder, room + 1);
    cut = entries.size() > room;
    if (cut) entries.pop_back();
    return 0;
}

void listPlaylist(const std::string& path, PlaylistKind kind, const struct stat& info,
                  std::vector<FileId>& playlistsOpen) {
    // One that names itself, directly or through others, is read once.
    const FileId id{info.st_dev, info.st_ino};
    if (std::find(playlistsOpen.begin(), playlistsOpen.end(), id) != playlistsOpen.end()) return;
    if (info.st_size > PLAYLIST_BYTES_MAX) return list(path, "too long for a playlist");
    if (playlistsOpen.size() == PLAYLISTS_NESTED_MAX) {
        return list(path, "playlists nested too deep");
    }
    std::vector<std::string> entries;
    bool cut = false;
    if (const int error = readEntries(path, kind, entries, cut); error != 0) {
        return list(path, std::strerror(error));
    }
    entriesHeld += entries.size();
    playlistsOpen.push_back(id);
    for (const std::string& entry : entries) {
        --entriesHeld;
        if (listingOver()) continue;
        if (isWebAddress(entry)) {
            list(entry, "web addresses are not played");
        } else {
            listOperand(entry, playlistsOpen);
        }
    }
    playlistsOpen.pop_back();
    if (cut) tracksLeftOut = true;
}

// Whether `operand` is a file to be judged when its turn comes (or nothing at all), rather than a
// folder or playlist to be listed.
bool namesOneTrack(const std::string& operand, struct stat& info) {
    if (stat(operand.c_str(), &info) != 0) return true;
    return !S_ISDIR(info.st_mode) &&
           (!S_ISREG(info.st_mode) || playlistKind(operand) == PlaylistKind::None);
}

void listOperand(const std::string& operand, std::vector<FileId>& playlistsOpen) {
    struct stat info;
    if (namesOneTrack(operand, info)) return list(operand);
    if (S_ISDIR(info.st_mode)) {
        DIR* folder = opendir(operand.c_str());
        if (folder == nullptr) return list(operand, std::strerror(errno));
        closedir(folder);
        std::set<FileId> walked{{info.st_dev, info.st_ino}};
        if (listFolder(operand, walked) == 0) list(operand, "no music files in it");
        return;
    }
    listPlaylist(operand, playlistKind(operand), info, playlistsOpen);
}

void listOperands(const std::vector<std::string>& operands) {
    std::vector<FileId> playlistsOpen;
    for (const std::string& operand : operands) {
        listOperand(operand, playlistsOpen);
        if (tracksLeftOut) {
            sayRestLeftOut(operand);
            break;
        }
    }
}
}  // namespace

bool comesBeforeInFolder(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        const std::size_t aStart = i;
        const std::size_t bStart = j;
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Leading zeros aside, the longer run is the larger number; runs as long compare by
            // their digits.
            while (i < a.size() && a[i] == '0') ++i;
            while (j < b.size() && b[j] == '0') ++j;
            const std::size_t aDigits = i;
            const std::size_t bDigits = j;
            while (i < a.size() && isDigit(a[i])) ++i;
            while (j < b.size() && isDigit(b[j])) ++j;
            if (i - aDigits != j - bDigits) return i - aDigits < j - bDigits;
            const int order = a.compare(aDigits, i - aDigits, b, bDigits, j - bDigits);
            if (order != 0) return order < 0;
        } else {
            while (i < a.size() && !isDigit(a[i])) ++i;
            while (j < b.size() && !isDigit(b[j])) ++j;
            const int order =
                compareWords(a.substr(aStart, i - aStart), b.substr(bStart, j - bStart));
            if (order != 0) return order < 0;
        }
    }
    if (a.size() - i != b.size() - j) return a.size() - i < b.size() - j;
    return a < b;
}

void startListing(std::vector<std::string> operands) {
    if (operands.empty()) operands.emplace_back(MUSIC_FILE);
    // Files named before any folder or playlist are listed here and now, and when that is all, so
    // is the end of the listing: a file alone then loops without a gap from its first play.
    std::size_t named = 0;
    struct stat info;
    while (named < operands.size() && namesOneTrack(operands[named], info)) list(operands[named++]);
    if (tracksLeftOut) sayRestLeftOut(operands[TRACKS_MAX]);
    int ends[2];
    if (named == operands.size() || tracksLeftOut || pipe2(ends, O_CLOEXEC) != 0) {
        listingEnded = true;
        return;
    }
    operands.erase(operands.begin(), operands.begin() + static_cast<std::ptrdiff_t>(named));
    lister = fork();
    if (lister == 0) {
        close(ends[0]);
        toPlayer = ends[1];
        // It ends with the player, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        signal(SIGPIPE, SIG_DFL);
        listOperands(operands);
        _exit(0);
    }
    close(ends[1]);
    if (lister < 0) {
        close(ends[0]);
        listingEnded = true;
        return;
    }
    fromLister = ends[0];
    fcntl(fromLister, F_SETFL, O_NONBLOCK);
    std::atexit(stopListing);
}

bool takeListedTracks(std::vector<ListedTrack>& tracks) {
    for (ListedTrack& track : listedHere) tracks.push_back(std::move(track));
    listedHere.clear();
    char buffer[65536];
    std::size_t taken = 0;
    while (fromLister >= 0 && taken < TAKEN_BYTES_MAX) {
        const ssize_t got = read(fromLister, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno == EAGAIN) break;
        if (got <= 0) {
            // The listing has ended (or failed, and what it listed stands).
            stopListing();
            break;
        }
        handedOver.append(buffer, static_cast<std::size_t>(got));
        taken += static_cast<std::size_t>(got);
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t pathEnd = handedOver.find('\0', start);
        const std::size_t whyEnd =
            pathEnd == std::string::npos ? pathEnd : handedOver.find('\0', pathEnd + 1);
        if (whyEnd == std::string::npos) break;
        tracks.push_back({handedOver.substr(start, pathEnd - start),
                          handedOver.substr(pathEnd + 1, whyEnd - pathEnd - 1)});
        start = whyEnd + 1;
    }
    handedOver.erase(0, start);
    return listingEnded;
}

void stopListing() {
    listingEnded = true;
    if (fromLister < 0) return;
    close(fromLister);
    fromLister = -1;
    // Ended, it is reaped; stuck, it is killed and left to the system, which reaps it once its
    // file system lets go.
    if (waitpid(lister, nullptr, WNOHANG) == 0) kill(lister, SIGKILL);
}
