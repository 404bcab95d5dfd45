#include "motion/sound/messages.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

const char AUDIO_OUTPUT[] = "default audio output";

namespace {
// How many bytes the UTF-8 character at `text` takes, 0 if it is not one; C1 controls count as
// none, for terminals take some of them as the start of a sequence.
std::size_t printableUtf8Length(const unsigned char* text, std::size_t left) {
    const unsigned char lead = text[0];
    if (lead >= 0x20 && lead < 0x7f) return 1;
    std::size_t length = lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
                       : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
    if (length == 0 || length > left) return 0;
    unsigned codePoint = lead & (0x7fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xc0) != 0x80) return 0;
        codePoint = codePoint << 6 | (text[i] & 0x3fu);
    }
    const unsigned smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    const bool valid = codePoint >= smallest[length] && codePoint <= 0x10ffff &&
                       (codePoint < 0xd800 || codePoint > 0xdfff) && codePoint >= 0xa0;
    return valid ? length : 0;
}

// The letter of a control character's short escape, as C and the shells write it; 0 for none.
char escapeLetter(unsigned char byte) {
    switch (byte) {
        case '\a': return 'a';
        case '\b': return 'b';
        case '\t': return 't';
        case '\n': return 'n';
        case '\v': return 'v';
        case '\f': return 'f';
        case '\r': return 'r';
        case 0x1b: return 'e';
        default: return 0;
    }
}

}  // namespace

std::string escapedName(const char* name) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(name);
    const std::size_t size = std::strlen(name);
    std::string out;
    for (std::size_t i = 0; i < size;) {
        if (const std::size_t length = printableUtf8Length(bytes + i, size - i); length > 0) {
            out.append(name + i, length);
            i += length;
            continue;
        }
        char code[5];
        if (const char letter = escapeLetter(bytes[i]); letter != 0) {
            std::snprintf(code, sizeof code, "\\%c", letter);
        } else {
            std::snprintf(code, sizeof code, "\\x%02x", bytes[i]);
        }
        out += code;
        ++i;
    }
    return out;
}

void tellUser(const char* what, const char* message) {
    std::fprintf(stderr, "dancer: %s: %s\n", escapedName(what).c_str(), message);
}

void reportUnplayable(const char* what, const char* reason, bool othersLeft) {
    const std::string message =
        std::string(reason) + (othersLeft ? "; skipped" : "; running without music");
    tellUser(what, message.c_str());
}
