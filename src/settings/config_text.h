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

// Where a rewrite sends the new content, as it is produced.
class ByteSink {
  public:
    // False when the bytes could not be taken; the rewrite then stops.
    virtual bool Write(const char* bytes, std::size_t count) = 0;

  protected:
    ~ByteSink() {}
};

// A growable run of bytes. Its own rather than std::string: the program is
// built without C++ exceptions, and the standard strings would bring the
// runtime's exception machinery back in. Running out of memory is reported,
// not thrown: the buffer then stays failed and its content is incomplete.
class ByteBuffer : public ByteSink {
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
    bool Write(const char* bytes, std::size_t count) override { return Append(bytes, count); }

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

// Reads the file as it streams past, in runs of any size, holding no more
// than one piece of a line. Sets the fields of `settings` whose keys the file
// holds and leaves the others alone. A piece sets a key when it begins with
// the whole key followed by at least one more character; the value is read
// from the key's fixed column ("key = value"), at most 4 characters for the
// width and height and 2 for the bits per pixel and bloom, and converted as
// atoi does. When a key stands on several lines, the last one wins.
class SettingsLoader {
  public:
    explicit SettingsLoader(GameSettings& settings)
        : settings_(settings), piece_(), length_(0), pendingReturn_(false) {}
    void Feed(const char* bytes, std::size_t count);
    // The end of the file: the last line needs no line break.
    void Finish();

  private:
    SettingsLoader(const SettingsLoader&);
    SettingsLoader& operator=(const SettingsLoader&);
    template <class Reader> friend void ScanLines(Reader&, bool&, const char*, std::size_t);
    bool Accepting() const { return true; }
    std::size_t TextRun(const char* bytes, std::size_t count);
    void Text(char c);
    void LineEnd();

    GameSettings& settings_;
    char piece_[kConfigPieceLength];
    std::size_t length_;
    bool pendingReturn_; // a carriage return that may be the start of a line end
};

// Writes the new content of the file to `sink` as the old one streams past:
// every piece that the reader takes as a setting becomes "key = value" with the
// current value, on a line of its own; every other byte comes back unchanged,
// in order. That is, a line that begins with a key is the setting, and what
// follows its first piece is a line of its own; a line that does not is kept,
// but split where a later piece begins with a key, so that what the reader
// finds there is rewritten as well. No key is added. All lines end with CR LF.
class SettingsRewriter {
  public:
    SettingsRewriter(const GameSettings& settings, ByteSink& sink);
    // False once the sink has failed.
    bool Feed(const char* bytes, std::size_t count);
    bool Finish();

  private:
    SettingsRewriter(const SettingsRewriter&);
    SettingsRewriter& operator=(const SettingsRewriter&);
    enum Mode { kHead, kKeep, kSkip };
    template <class Reader> friend void ScanLines(Reader&, bool&, const char*, std::size_t);
    bool Accepting() const { return !failed_; }
    std::size_t TextRun(const char* bytes, std::size_t count);
    void Text(char c);
    void Decide(bool lineEnded);
    void LineEnd();
    void Put(const char* bytes, std::size_t count);
    void PutKeyLine(std::size_t key);
    void Flush();

    const GameSettings& settings_;
    ByteSink& sink_;
    Mode mode_;
    char head_[16]; // the start of a piece while it may still be a key
    std::size_t headLength_;
    std::size_t pieceUsed_; // text bytes of the current piece passed so far
    bool keptOpen_;         // kept text written, its line end not yet
    bool lineStart_;        // no text of the current line seen yet
    bool pendingReturn_;
    bool failed_;
    char out_[16 * 1024];
    std::size_t outLength_;
};

// The whole file at once.
void ApplySettingsText(const char* bytes, std::size_t size, GameSettings& settings);
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
