// Loading any bytes: reads stay inside the input (ASan: the input buffer is
// exactly its size), only fields whose keys the file names change, each to a
// value that fits its column, and the result does not depend on what the
// other fields held before.
#include <cstddef>
#include <cstdint>

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

    delete a;
    delete b;
    return 0;
}
