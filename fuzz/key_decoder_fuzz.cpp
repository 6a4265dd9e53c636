// Fuzz target of the console's key decoding: raw keystroke bytes through the
// terminal translator (whole, and cut into pieces with the sequence pause
// in between) and through the key reader on a pipe, as the dialogues read
// them. The reading must end (the input closes), give at most one key per
// input byte, and the translator must give the same keys however its input
// is cut when no pause falls inside a sequence.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "periph/console_keys.h"
#include "platform/console_keyboard.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;

    // The translator, whole and byte by byte: the same output.
    plat::KeyTranslator whole, pieces;
    std::string a, b;
    for (size_t i = 0; i < size; ++i) whole.feed(data[i], a);
    whole.expire(a);
    for (size_t i = 0; i < size; ++i) {
        std::string part;
        pieces.feed(data[i], part);
        b += part;
    }
    pieces.expire(b);
    Check(a == b, "the translator depends on how its input is cut");
    Check(!whole.holding() && !pieces.holding(), "bytes held after the pause");
    Check(a.size() <= 2 * size, "more key bytes than a pair per input byte");
    Check(a.find('\x7F') == std::string::npos, "0x7F not turned into Backspace");

    // A pause after every byte: each held sequence comes out as it was.
    plat::KeyTranslator paused;
    std::string c;
    for (size_t i = 0; i < size; ++i) {
        paused.feed(data[i], c);
        paused.expire(c);
    }
    Check(!paused.holding(), "bytes held after a pause");

    // The key reader over a pipe that ends after the bytes.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return 0;
    const ssize_t written = write(fds[1], data, size);
    close(fds[1]);
    if (written != static_cast<ssize_t>(size)) {
        close(fds[0]);
        return 0;
    }
    plat::SetKeyInput(fds[0]);
    size_t keys = 0;
    while (plat::KeyboardPresent()) {
        unsigned char key = 0;
        const int extended = KTTD_ReadKey(0, 1, &key);
        Check(extended == 0 || extended == 1, "extended flag not 0 or 1");
        if (extended == 1) {
            bool inTable = false;
            const KttdKeyEscape* table = KTTD_EscapeTable();
            for (int i = 0; i < KTTD_ESCAPE_COUNT; ++i) inTable = inTable || table[i].key == key;
            Check(inTable, "an extended key that the table does not give");
        }
        (void)KTTD_MapKey(key, extended);
        Check(++keys <= size + 1, "more keys than input bytes");
    }
    plat::SetKeyInput(-1);
    close(fds[0]);
    return 0;
}
