#include "motion/sound/names.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {
constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";  // U+FFFD

// What breaks a line or drives a terminal; Pango starts a new paragraph at several of them.
bool breaksOrControls(unsigned codePoint) {
    return codePoint < 0x20 || (codePoint >= 0x7f && codePoint < 0xa0) || codePoint == 0x2028 ||
           codePoint == 0x2029;
}
}  // namespace

unsigned decodeUtf8(const unsigned char* text, std::size_t left, std::size_t& length) {
    const unsigned char lead = text[0];
    length = lead < 0x80 ? 1 : lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
           : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
    if (length == 0 || length > left) {
        length = 0;
        return 0;
    }
    unsigned codePoint = length == 1 ? lead : lead & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xc0) != 0x80) {
            length = 0;
            return 0;
        }
        codePoint = codePoint << 6 | (text[i] & 0x3fu);
    }
    const unsigned smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10ffff ||
        (codePoint >= 0xd800 && codePoint <= 0xdfff)) {
        length = 0;
    }
    return codePoint;
}

std::string cleanName(const std::string& name) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
    std::string clean;
    for (std::size_t i = 0; i < name.size();) {
        std::size_t length = 0;
        const unsigned codePoint = decodeUtf8(bytes + i, name.size() - i, length);
        std::string character = length == 0 ? REPLACEMENT
                              : breaksOrControls(codePoint) ? " " : name.substr(i, length);
        if (clean.size() + character.size() > NAME_BYTES_MAX) break;
        clean += character;
        i += length == 0 ? 1 : length;
    }
    return clean;
}

std::string titleFromPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return cleanName(name);
}

std::string fileUrl(const std::string& path) {
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char* folder = getcwd(nullptr, 0);
        absolute = std::string(folder != nullptr ? folder : "") + "/" + absolute;
        std::free(folder);
    }
    std::string url = "file://";
    for (const char c : absolute) {
        if ((c != '\0' && std::strchr("-._~/", c) != nullptr) || (c >= '0' && c <= '9') ||
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
            url += c;
        } else {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            url += escaped;
        }
    }
    return url;
}
