// Loading any bytes: reads stay inside the input (ASan: the input buffer is
// exactly its size), only fields whose keys the file names change, each to a
// value that fits its column, and the result does not depend on what the
// other fields held before, nor on how the bytes are split into runs.
#include <cstddef>
#include <cstdint>
#include <algorithm>

#include "config_properties.h"

using fuzz::kKeys;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::string text(bytes, size);

    const GameSettings startA = fuzz::Make(-70001, -70002, -70003, -70004);
    const GameSettings startB = fuzz::Make(50001, 50002, 50003, 50004);
    // On the heap, so that a write beyond the record is caught.
    GameSettings* a = new GameSettings(startA);
    GameSettings* b = new GameSettings(startB);
    ApplySettingsText(bytes, size, *a);
    ApplySettingsText(bytes, size, *b);

    for (int k = 0; k < 4; ++k) {
        const fuzz::Key& key = kKeys[k];
        bool set = a->*key.field != startA.*key.field;
        PROPERTY(set == (b->*key.field != startB.*key.field));
        if (!set)
            continue;
        PROPERTY(text.find(key.name) != std::string::npos);
        PROPERTY(fuzz::WithinDigits(a->*key.field, key.digits));
        PROPERTY(a->*key.field == b->*key.field);
    }

    // Lines are independent: loading the file in two parts split after a
    // line feed gives what loading it whole gives.
    std::size_t feed = text.find('\n', size / 2);
    if (feed != std::string::npos) {
        GameSettings* parts = new GameSettings(startA);
        ApplySettingsText(bytes, feed + 1, *parts);
        ApplySettingsText(bytes + feed + 1, size - feed - 1, *parts);
        for (int k = 0; k < 4; ++k)
            PROPERTY(parts->*kKeys[k].field == a->*kKeys[k].field);
        delete parts;
    }

    // Streamed in small runs of varying length, as a file is read, the load
    // gives the same settings.
    GameSettings* streamed = new GameSettings(startA);
    SettingsLoader loader(*streamed);
    for (std::size_t pos = 0, run = 1; pos < size; pos += run, run = run % 13 + 1)
        loader.Feed(bytes + pos, std::min(run, size - pos));
    loader.Finish();
    for (int k = 0; k < 4; ++k)
        PROPERTY(streamed->*kKeys[k].field == a->*kKeys[k].field);
    delete streamed;

    delete a;
    delete b;
    return 0;
}
