// The line logic of config.cfg, free of any Windows dependency, working on the
// raw bytes of the file.
//
// Lines end at a line feed; a carriage return directly before it belongs to
// the line end, a carriage return anywhere else is part of the text (the C
// runtime's text mode reads a file the same way). Every other byte, zero bytes
// and bytes above 127 included, is text.
#ifndef LAUNCHER_CONFIG_TEXT_H
#define LAUNCHER_CONFIG_TEXT_H

#include <cstddef>
#include <string>

#include "settings/game_settings.h"

// A growable run of bytes. Its own rather than std::string: the program is
// built without C++ exceptions, and the standard strings would bring the
// runtime's exception machinery back in. Running out of memory is reported,
// not thrown: the buffer then stays failed and its content is incomplete.
class ByteBuffer {
  public:
    ByteBuffer() : data_(NULL), size_(0), capacity_(0), failed_(false) {}
    ~ByteBuffer();

    const char* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool failed() const { return failed_; }

    // False once memory has run out.
    bool Append(const char* bytes, std::size_t count);
    bool Reserve(std::size_t capacity);
    void Clear() {
        size_ = 0;
        failed_ = false;
    }

  private:
    ByteBuffer(const ByteBuffer&);
    ByteBuffer& operator=(const ByteBuffer&);

    char* data_;
    std::size_t size_;
    std::size_t capacity_;
    bool failed_;
};

// Longest piece of a line that the reader handles at once. The game reads the
// file through a 260-byte buffer, so a longer line reaches it in pieces, each
// taken as a line of its own; the launcher reads it the same way.
const std::size_t kConfigPieceLength = 259;

// Sets the fields of `settings` whose keys the file holds and leaves the
// others alone. A line sets a key when it begins with the whole key followed
// by at least one more character; the value is read from the key's fixed
// column ("key = value"), at most 4 characters for the width and height and 2
// for the bits per pixel and bloom, and converted as atoi does. When a key
// stands on several lines, the last one wins.
void ApplySettingsText(const char* bytes, std::size_t size, GameSettings& settings);

// The new content of the file: every line that begins with one of the four
// keys becomes "key = value" with the current value, every other line comes
// back byte for byte, in order. No key is added. All lines end with CR LF.
// Appended to `out`; false when memory ran out.
bool RewriteSettingsText(const char* bytes, std::size_t size, const GameSettings& settings,
                         ByteBuffer& out);

// The same for a file held in a std::string.
inline void ApplySettingsText(const std::string& bytes, GameSettings& settings) {
    ApplySettingsText(bytes.data(), bytes.size(), settings);
}

inline std::string RewriteSettingsText(const std::string& bytes, const GameSettings& settings) {
    ByteBuffer out;
    RewriteSettingsText(bytes.data(), bytes.size(), settings, out);
    return std::string(out.data() ? out.data() : "", out.size());
}

#endif
