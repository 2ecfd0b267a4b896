#include "settings/config_text.h"

#include <algorithm>
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

// True when the bytes of a piece seen so far may still grow into a key.
bool MayBecomeKey(const char* head, std::size_t length) {
    for (std::size_t k = 0; k < kKeyCount; ++k)
        if (length < kKeys[k].length && std::memcmp(head, kKeys[k].name, length) == 0)
            return true;
    return false;
}

// How many bytes from `bytes` on hold neither a carriage return nor a line
// feed, looking at no more than `limit`.
std::size_t PlainRun(const char* bytes, std::size_t limit) {
    std::size_t n = 0;
    while (n < limit && bytes[n] != '\r' && bytes[n] != '\n')
        ++n;
    return n;
}

} // namespace

// Splits a run of the file into line text and line ends for the loader and
// the rewriter alike. A carriage return is held back until the next byte
// tells whether it starts a line end or is text; `TextRun` takes text up to
// the next carriage return or line feed and says how much it took.
template <class Reader>
void ScanLines(Reader& reader, bool& pendingReturn, const char* bytes, std::size_t count) {
    std::size_t i = 0;
    while (i < count && reader.Accepting()) {
        char c = bytes[i];
        if (pendingReturn) {
            pendingReturn = false;
            if (c == '\n') {
                reader.LineEnd();
                ++i;
                continue;
            }
            reader.Text('\r');
        }
        if (c == '\r') {
            pendingReturn = true;
            ++i;
        } else if (c == '\n') {
            reader.LineEnd();
            ++i;
        } else {
            i += reader.TextRun(bytes + i, count - i);
        }
    }
}

void SettingsLoader::Feed(const char* bytes, std::size_t count) {
    ScanLines(*this, pendingReturn_, bytes, count);
}

std::size_t SettingsLoader::TextRun(const char* bytes, std::size_t count) {
    if (length_ == kConfigPieceLength) {
        ApplyPiece(piece_, length_, settings_);
        length_ = 0;
    }
    std::size_t run = PlainRun(bytes, std::min(count, kConfigPieceLength - length_));
    std::memcpy(piece_ + length_, bytes, run);
    length_ += run;
    return run;
}

void SettingsLoader::Finish() {
    if (pendingReturn_)
        Text('\r');
    pendingReturn_ = false;
    if (length_ > 0)
        ApplyPiece(piece_, length_, settings_);
    length_ = 0;
}

void SettingsLoader::Text(char c) {
    if (length_ == kConfigPieceLength) {
        ApplyPiece(piece_, length_, settings_);
        length_ = 0;
    }
    piece_[length_++] = c;
}

// The reader keeps the line feed in the piece it ends, so it counts towards
// the piece's length, and a line of exactly 259 characters ends in a piece
// that holds only the line feed.
void SettingsLoader::LineEnd() {
    Text('\n');
    ApplyPiece(piece_, length_, settings_);
    length_ = 0;
}

SettingsRewriter::SettingsRewriter(const GameSettings& settings, ByteSink& sink)
    : settings_(settings), sink_(sink), mode_(kHead), head_(), headLength_(0), pieceUsed_(0),
      keptOpen_(false), lineStart_(true), pendingReturn_(false), failed_(false), out_(),
      outLength_(0) {}

bool SettingsRewriter::Feed(const char* bytes, std::size_t count) {
    ScanLines(*this, pendingReturn_, bytes, count);
    return !failed_;
}

std::size_t SettingsRewriter::TextRun(const char* bytes, std::size_t count) {
    if (mode_ != kKeep || pieceUsed_ == kConfigPieceLength) {
        Text(bytes[0]);
        return 1;
    }
    // The bulk of a kept line goes through here, a run at a time.
    std::size_t run = PlainRun(bytes, std::min(count, kConfigPieceLength - pieceUsed_));
    Put(bytes, run);
    pieceUsed_ += run;
    return run;
}

bool SettingsRewriter::Finish() {
    if (pendingReturn_)
        Text('\r');
    pendingReturn_ = false;
    if (!lineStart_)
        LineEnd();
    Flush();
    return !failed_;
}

void SettingsRewriter::Text(char c) {
    lineStart_ = false;
    if (mode_ != kHead && pieceUsed_ == kConfigPieceLength) {
        // The reader starts a new piece here, which it tests for keys again.
        mode_ = kHead;
        pieceUsed_ = 0;
    }
    switch (mode_) {
    case kHead:
        head_[headLength_++] = c;
        Decide(false);
        break;
    case kKeep:
        Put(&c, 1);
        ++pieceUsed_;
        break;
    case kSkip:
        ++pieceUsed_;
        break;
    }
}

// Settles what the piece whose first bytes are in head_ is, as soon as its
// bytes tell: a setting, replaced by its key line, or kept text.
void SettingsRewriter::Decide(bool lineEnded) {
    for (std::size_t k = 0; k < kKeyCount; ++k) {
        if (BeginsWithKey(head_, headLength_, kKeys[k])) {
            if (keptOpen_)
                Put("\r\n", 2);
            PutKeyLine(k);
            keptOpen_ = false;
            mode_ = kSkip;
            pieceUsed_ = headLength_;
            headLength_ = 0;
            return;
        }
    }
    if (!lineEnded && MayBecomeKey(head_, headLength_))
        return;
    Put(head_, headLength_);
    keptOpen_ = true;
    mode_ = kKeep;
    pieceUsed_ = headLength_;
    headLength_ = 0;
}

void SettingsRewriter::LineEnd() {
    bool emptyLine = lineStart_;
    if (mode_ == kHead && headLength_ > 0)
        Decide(true);
    if (emptyLine || keptOpen_)
        Put("\r\n", 2);
    mode_ = kHead;
    headLength_ = 0;
    pieceUsed_ = 0;
    keptOpen_ = false;
    lineStart_ = true;
}

void SettingsRewriter::PutKeyLine(std::size_t key) {
    char number[16];
    char* end = number + sizeof number;
    char* begin = FormatDecimal(settings_.*kKeys[key].field, end);
    Put(kKeys[key].name, kKeys[key].length);
    Put(" = ", 3);
    Put(begin, static_cast<std::size_t>(end - begin));
    Put("\r\n", 2);
}

void SettingsRewriter::Put(const char* bytes, std::size_t count) {
    while (count > 0 && !failed_) {
        if (outLength_ == sizeof out_)
            Flush();
        std::size_t part = std::min(count, sizeof out_ - outLength_);
        std::memcpy(out_ + outLength_, bytes, part);
        outLength_ += part;
        bytes += part;
        count -= part;
    }
}

void SettingsRewriter::Flush() {
    if (!failed_ && outLength_ > 0 && !sink_.Write(out_, outLength_))
        failed_ = true;
    outLength_ = 0;
}

void ApplySettingsText(const char* bytes, std::size_t size, GameSettings& settings) {
    SettingsLoader loader(settings);
    loader.Feed(bytes, size);
    loader.Finish();
}

bool RewriteSettingsText(const char* bytes, std::size_t size, const GameSettings& settings,
                         ByteBuffer& out) {
    out.Reserve(out.size() + size + size / 16 + 64);
    SettingsRewriter rewriter(settings, out);
    rewriter.Feed(bytes, size);
    return rewriter.Finish() && !out.failed();
}
