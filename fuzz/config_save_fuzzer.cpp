// Saving over any bytes: every line ends with CR LF; the text that the reader
// takes for no key comes back byte for byte and in order; no key line is
// added; each key line is exactly "key = value"; saving again changes
// nothing; and the saved file, whatever its line lengths, reads back as the
// settings for every key it holds, within the digits that each column holds.
#include <cstddef>
#include <cstdint>
#include <algorithm>

#include "config_properties.h"

using fuzz::kKeys;

namespace {

// The lines a save must keep, and how many key lines it must write, as the
// reader sees the file: a line that begins with a key is a key line, and past
// its first piece the rest is a line of its own; a line that does not is kept,
// but where a later piece of it begins with a key, the reader takes that piece
// as a key line, so the kept line ends there and the rest is a line of its own.
void ExpectedLines(const std::string& input, std::vector<std::string>* kept, int keyLines[4]) {
    std::vector<std::string> lines = fuzz::Lines(input);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        for (;;) {
            int key = fuzz::KeyOf(line);
            if (key >= 0) {
                ++keyLines[key];
                if (line.size() <= kConfigPieceLength)
                    break;
                line.erase(0, kConfigPieceLength);
                continue;
            }
            std::size_t split = kConfigPieceLength;
            while (split < line.size() && fuzz::KeyOf(line.substr(split)) < 0)
                split += kConfigPieceLength;
            kept->push_back(line.substr(0, split));
            if (split >= line.size())
                break;
            line.erase(0, split);
        }
    }
}

std::string KeyLine(int k, const GameSettings& s) {
    char text[48];
    std::snprintf(text, sizeof text, "%s = %d", kKeys[k].name, s.*kKeys[k].field);
    return text;
}

void CheckSave(const std::string& input, const GameSettings& s) {
    const std::string out = RewriteSettingsText(input, s);

    PROPERTY(out.empty() || (out.size() >= 2 && out.compare(out.size() - 2, 2, "\r\n") == 0));
    for (std::size_t feed = out.find('\n'); feed != std::string::npos;
         feed = out.find('\n', feed + 1))
        PROPERTY(feed > 0 && out[feed - 1] == '\r');

    std::vector<std::string> expectedKept;
    int expectedKeyLines[4] = {0, 0, 0, 0};
    ExpectedLines(input, &expectedKept, expectedKeyLines);

    std::vector<std::string> kept;
    int keyLines[4] = {0, 0, 0, 0};
    std::vector<std::string> lines = fuzz::Lines(out);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        int key = fuzz::KeyOf(lines[i]);
        if (key < 0) {
            kept.push_back(lines[i]);
        } else {
            PROPERTY(lines[i] == KeyLine(key, s));
            ++keyLines[key];
        }
    }
    PROPERTY(kept == expectedKept);
    for (int k = 0; k < 4; ++k)
        PROPERTY(keyLines[k] == expectedKeyLines[k]);

    PROPERTY(RewriteSettingsText(out, s) == out);

    // Streamed in small runs of varying length, as a file is read, the
    // rewrite gives the same bytes.
    ByteBuffer streamed;
    SettingsRewriter rewriter(s, streamed);
    for (std::size_t pos = 0, run = 1; pos < input.size(); pos += run, run = run % 13 + 1)
        rewriter.Feed(input.data() + pos, std::min(run, input.size() - pos));
    PROPERTY(rewriter.Finish());
    PROPERTY(std::string(streamed.data() ? streamed.data() : "", streamed.size()) == out);

    // Each key line on its own reads back as the value, cut to its column.
    for (int k = 0; k < 4; ++k) {
        GameSettings alone = fuzz::Make(0, 0, 0, 0);
        const std::string line = KeyLine(k, s) + "\r\n";
        ApplySettingsText(line, alone);
        PROPERTY(alone.*kKeys[k].field == fuzz::ReadBack(s.*kKeys[k].field, kKeys[k].digits));
    }
    // The whole file, long lines included, reads back as the settings for
    // the keys it holds, and leaves the rest.
    const GameSettings start = fuzz::Make(-70001, -70002, -70003, -70004);
    GameSettings loaded = start;
    ApplySettingsText(out, loaded);
    for (int k = 0; k < 4; ++k) {
        int expected = keyLines[k] > 0 ? fuzz::ReadBack(s.*kKeys[k].field, kKeys[k].digits)
                                       : start.*kKeys[k].field;
        PROPERTY(loaded.*kKeys[k].field == expected);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckSave(input, fuzz::Make(1920, 1080, 32, 1));
    // Settings taken from the input's first bytes, so that the fuzzer also
    // explores values: negative, too long for their column, the extremes.
    if (size >= sizeof(GameSettings)) {
        GameSettings s;
        std::memcpy(&s, data, sizeof s);
        CheckSave(input, s);
    }
    return 0;
}
