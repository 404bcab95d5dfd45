#include "motion/sound/messages.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "motion/sound/names.h"

const char AUDIO_OUTPUT[] = "default audio output";

namespace {
// How many bytes the UTF-8 character at `text` takes, 0 if it is not one or is a control; C1
// controls count too, for terminals take some of them as the start of a sequence.
std::size_t printableUtf8Length(const unsigned char* text, std::size_t left) {
    std::size_t length = 0;
    const unsigned codePoint = decodeUtf8(text, left, length);
    const bool control = codePoint < 0x20 || (codePoint >= 0x7f && codePoint < 0xa0);
    return control ? 0 : length;
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
