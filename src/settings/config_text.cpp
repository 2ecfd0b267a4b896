#include "settings/config_text.h"

#include <cstdlib>
#include <cstring>

ByteBuffer::~ByteBuffer() {
    std::free(data_);
}

bool ByteBuffer::Reserve(std::size_t capacity) {
    if (failed_)
        return false;
    if (capacity <= capacity_)
        return true;
    void* grown = std::realloc(data_, capacity);
    if (!grown) {
        failed_ = true;
        return false;
    }
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

bool ByteBuffer::Append(const char* bytes, std::size_t count) {
    if (failed_)
        return false;
    if (count > capacity_ - size_) {
        std::size_t needed = size_ + count;
        if (needed < size_ || !Reserve(needed > capacity_ * 2 ? needed : capacity_ * 2)) {
            failed_ = true;
            return false;
        }
    }
    if (count > 0)
        std::memcpy(data_ + size_, bytes, count);
    size_ += count;
    return true;
}

namespace {

struct ConfigKey {
    const char* name;
    std::size_t length;
    std::size_t valueDigits; // characters read from the value column
    int GameSettings::*field;
};

// In the order in which every line is tested; each test stands on its own.
const ConfigKey kKeys[] = {
    {"screenWidth", 11, 4, &GameSettings::screenWidth},
    {"screenHeight", 12, 4, &GameSettings::screenHeight},
    {"screenBPP", 9, 2, &GameSettings::screenBPP},
    {"bloom", 5, 2, &GameSettings::bloom},
};
const std::size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];

// The writer puts " = " between key and value, so the value starts here.
std::size_t ValueColumn(const ConfigKey& key) {
    return key.length + 3;
}

// One physical line: its text without the line end, and whether a line feed
// ended it (the last line of a file may stop without one).
struct Line {
    const char* text;
    std::size_t length;
    bool hasBreak;
};

// Splits off the line that starts at `pos` and returns where the next begins.
std::size_t NextLine(const char* bytes, std::size_t size, std::size_t pos, Line* line) {
    const char* start = bytes + pos;
    const void* feed = std::memchr(start, '\n', size - pos);
    if (!feed) {
        line->text = start;
        line->length = size - pos;
        line->hasBreak = false;
        return size;
    }
    std::size_t length = static_cast<const char*>(feed) - start;
    line->text = start;
    line->length = length > 0 && start[length - 1] == '\r' ? length - 1 : length;
    line->hasBreak = true;
    return pos + length + 1;
}

bool BeginsWithKey(const char* text, std::size_t length, const ConfigKey& key) {
    return length >= key.length && std::memcmp(text, key.name, key.length) == 0;
}

// The white space that atoi skips in the "C" locale; isspace itself must not
// see bytes above 127, which are negative chars here.
bool IsAtoiSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// atoi over text[begin, end): white space, an optional sign, then digits up
// to the first other character. At most 4 digits reach here, so no overflow.
int ParseValue(const char* text, std::size_t begin, std::size_t end) {
    std::size_t i = begin;
    while (i < end && IsAtoiSpace(text[i]))
        ++i;
    bool negative = false;
    if (i < end && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int value = 0;
    for (; i < end && text[i] >= '0' && text[i] <= '9'; ++i)
        value = value * 10 + (text[i] - '0');
    return negative ? -value : value;
}

// One piece as the game's reader sees it: at most kConfigPieceLength
// characters, the line feed counted as one, and nothing past a zero byte.
void ApplyPiece(const char* piece, std::size_t length, GameSettings& settings) {
    const void* zero = std::memchr(piece, '\0', length);
    if (zero)
        length = static_cast<const char*>(zero) - piece;
    for (std::size_t k = 0; k < kKeyCount; ++k) {
        const ConfigKey& key = kKeys[k];
        // A line that holds nothing after the key (a bare key at the end of
        // the file) is not a setting; one that ends before the value column
        // has an empty value, which reads as 0.
        if (length <= key.length || !BeginsWithKey(piece, length, key))
            continue;
        std::size_t begin = ValueColumn(key);
        std::size_t end = begin + key.valueDigits;
        if (end > length)
            end = length;
        settings.*key.field = begin < end ? ParseValue(piece, begin, end) : 0;
    }
}

void ApplyLine(const Line& line, GameSettings& settings) {
    // The line with its line feed, cut into the pieces that a 260-byte
    // buffer takes from it.
    const std::size_t total = line.length + (line.hasBreak ? 1 : 0);
    char piece[kConfigPieceLength];
    for (std::size_t offset = 0; offset < total; offset += kConfigPieceLength) {
        std::size_t length = total - offset;
        if (length > kConfigPieceLength)
            length = kConfigPieceLength;
        std::size_t fromText = offset < line.length ? line.length - offset : 0;
        if (fromText > length)
            fromText = length;
        std::memcpy(piece, line.text + offset, fromText);
        if (fromText < length)
            piece[fromText] = '\n';
        ApplyPiece(piece, length, settings);
    }
}

// Decimal text of the value, as "%d" writes it, ending at `end`.
char* FormatDecimal(int value, char* end) {
    // Through unsigned, so that the most negative value has a magnitude too.
    unsigned int magnitude =
        value < 0 ? 0u - static_cast<unsigned int>(value) : static_cast<unsigned int>(value);
    do {
        *--end = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--end = '-';
    return end;
}

void AppendKeyLine(const ConfigKey& key, int value, ByteBuffer& out) {
    char number[16];
    char* end = number + sizeof number;
    char* begin = FormatDecimal(value, end);
    out.Append(key.name, key.length);
    out.Append(" = ", 3);
    out.Append(begin, static_cast<std::size_t>(end - begin));
    out.Append("\r\n", 2);
}

void RewriteLine(const char* text, std::size_t length, const GameSettings& settings,
                 ByteBuffer& out) {
    for (;;) {
        bool written = false;
        for (std::size_t k = 0; k < kKeyCount; ++k) {
            if (BeginsWithKey(text, length, kKeys[k])) {
                AppendKeyLine(kKeys[k], settings.*kKeys[k].field, out);
                written = true;
            }
        }
        if (!written) {
            out.Append(text, length);
            out.Append("\r\n", 2);
            return;
        }
        // The reader takes what follows the first piece of an over-long key
        // line as a line of its own; it is kept (or rewritten, if it begins
        // with a key) as such rather than dropped with the setting.
        if (length <= kConfigPieceLength)
            return;
        text += kConfigPieceLength;
        length -= kConfigPieceLength;
    }
}

} // namespace

void ApplySettingsText(const char* bytes, std::size_t size, GameSettings& settings) {
    std::size_t pos = 0;
    while (pos < size) {
        Line line;
        pos = NextLine(bytes, size, pos, &line);
        ApplyLine(line, settings);
    }
}

bool RewriteSettingsText(const char* bytes, std::size_t size, const GameSettings& settings,
                         ByteBuffer& out) {
    out.Reserve(out.size() + size + size / 16 + 64);
    std::size_t pos = 0;
    while (pos < size && !out.failed()) {
        Line line;
        pos = NextLine(bytes, size, pos, &line);
        RewriteLine(line.text, line.length, settings, out);
    }
    return !out.failed();
}
