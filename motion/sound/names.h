// motion/sound/names.h: what a track is called, from whatever named it (its tags, its file's name,
// another player on the bus), made fit to show in the window and to send on the bus; and its
// file's place as a URL.
#pragma once
#include <cstddef>
#include <string>

// At most this many bytes of a name are kept: nothing shows that many anyway.
constexpr std::size_t NAME_BYTES_MAX = 1024;

// The code point of the UTF-8 character at `text` (`left` bytes there), and its length in bytes in
// `length`: 0 where the bytes are not one (overlong, a surrogate, past U+10FFFF, cut short). Pure.
unsigned decodeUtf8(const unsigned char* text, std::size_t left, std::size_t& length);
// `name`, bytes from anywhere, as valid UTF-8 of at most NAME_BYTES_MAX bytes, cut at a
// character's start: bytes that are not UTF-8 become U+FFFD, and control characters (C0, DEL, C1
// with NEL) and line and paragraph separators (U+2028, U+2029) become spaces, so that a name is
// one line. Pure; any thread.
std::string cleanName(const std::string& name);
// A title for a file without one: its name, without folder or suffix, cleaned. Pure; any thread.
std::string titleFromPath(const std::string& path);
// A file's place as a file:// URL, its exact bytes kept: every byte but unreserved ones and '/'
// percent-encoded. A relative path is taken from the working directory. Any thread.
std::string fileUrl(const std::string& path);
