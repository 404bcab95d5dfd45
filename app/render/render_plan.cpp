#include "app/render/render_plan.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::int64_t tickEndSample(std::int64_t tick, int rate) {
    return tick * rate / TICKS_PER_SECOND;
}

std::int64_t tickOfFrame(std::int64_t frame, int fps) {
    return frame * TICKS_PER_SECOND / fps;
}

std::int64_t frameStartSample(std::int64_t frame, int fps, int rate) {
    return (frame * rate + fps - 1) / fps;
}

std::int64_t framesForSamples(std::int64_t samples, int fps, int rate) {
    return (samples * fps + rate - 1) / rate;
}

std::int64_t frameMilliseconds(std::int64_t frame, int fps) {
    return frame * 1000 / fps;
}

bool containerForName(const std::string& path, Container& container) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    // A dot that begins the name, as in ".mp4", makes a hidden file, not a suffix.
    if (dot == std::string::npos || dot == 0 || (slash != std::string::npos && dot <= slash + 1)) {
        return false;
    }
    std::string suffix = path.substr(dot + 1);
    for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix == "mp4") {
        container = Container::Mp4;
    } else if (suffix == "mkv") {
        container = Container::Mkv;
    } else if (suffix == "webm") {
        container = Container::Webm;
    } else {
        return false;
    }
    return true;
}

bool readFrameSize(const char* text, int& width, int& height) {
    int w = 0;
    int h = 0;
    int consumed = 0;
    // Digits only: sscanf alone would take signs and spaces.
    for (const char* c = text; *c != '\0'; ++c) {
        if (!std::isdigit(static_cast<unsigned char>(*c)) && *c != 'x') return false;
    }
    if (std::sscanf(text, "%5dx%5d%n", &w, &h, &consumed) != 2 || text[consumed] != '\0') {
        return false;
    }
    if (w < 16 || h < 16 || w > 7680 || h > 4320 || w % 2 != 0 || h % 2 != 0) return false;
    width = w;
    height = h;
    return true;
}

std::string clockText(std::int64_t seconds) {
    char text[32];
    if (seconds >= 3600) {
        std::snprintf(
            text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
            static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    }
    return text;
}
