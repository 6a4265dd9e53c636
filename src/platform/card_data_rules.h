// Which tag values are card data, and how a log line hides them. Both sides
// of the POS link mask with these rules: the console program (trace lines,
// exchange log, tag dictionary) and the client library (its own log), so the
// list of sensitive codes exists once. Pure text functions, no state.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace carddata {

// How the value of a sensitive tag is hidden.
enum class TagRule : uint8_t {
    CardNumber,  // a card number: blotted; also registered as a card number
    Track,       // a track image: blotted; also registered as a track 2
    Blot,        // verification values, track 1, pivot numbers, chip data
    Ticket,      // ticket text: removed from the exchange log, blotted elsewhere
    Display,     // display text: its digits masked like a card number
};

struct SensitiveTag {
    const char* code;
    TagRule rule;
};

// Every sensitive code (exact case), in the order the exchange log registers
// card values: card numbers first, then tracks.
std::span<const SensitiveTag> SensitiveTags();
// The entry of a code, or null when its values are not card data.
const SensitiveTag* FindSensitiveTag(std::string_view code);

// Card numbers are masked keeping their first 6 and last 4 characters; a
// value of 10 characters or fewer keeps them all.
constexpr size_t kCardNumberKeptHead = 6;
constexpr size_t kCardNumberKeptTail = 4;
// Digit runs taken for card numbers wherever they stand.
constexpr size_t kCardNumberRunMin = 13;
constexpr size_t kCardNumberRunMax = 19;

// In the value (length characters), the digits are counted as one card
// number: all but the first 6 and the last 4 digits become `mask`; other
// characters stay. Fewer than 11 digits change nothing. The digits masked.
size_t MaskDisplayDigits(char* value, size_t length, char mask);

// For every "{CODE}" of a sensitive code in text (length characters), hides
// the value behind it (up to the next "{" or the end) by its rule: every
// character becomes `mask`, or, for display texts, MaskDisplayDigits. The
// text keeps its length. The number of values hidden.
size_t MaskSensitiveTagValues(char* text, size_t length, char mask);

// The card numbers a message carries in its card-number and track tags, kept
// aside (without allocation) so that their copies elsewhere in the text are
// masked once the tag values themselves are blotted. A card number loses one
// trailing "F"; a track is cut at its first "F", loses a leading "B", and
// gives the card number before its separator ("D" or "="). Values of 10
// characters or fewer, and values beyond kMaxValues, are not kept.
class CardValueCopies {
public:
    static constexpr size_t kMaxValues = 8;
    static constexpr size_t kMaxLength = 99;

    CardValueCopies() = default;
    CardValueCopies(const char* text, size_t length) { Collect(text, length); }
    ~CardValueCopies();
    CardValueCopies(const CardValueCopies&) = delete;
    CardValueCopies& operator=(const CardValueCopies&) = delete;

    void Collect(const char* text, size_t length);
    // Every occurrence of a kept card number keeps its first 6 and last 4
    // characters, the others become `mask`. The occurrences masked.
    size_t MaskIn(char* text, size_t length, char mask) const;

    size_t count() const { return count_; }
    std::string_view value(size_t i) const { return std::string_view(values_[i], lengths_[i]); }

private:
    void Add(const char* value, size_t length);
    char values_[kMaxValues][kMaxLength] = {};
    size_t lengths_[kMaxValues] = {};
    size_t count_ = 0;
};

// The masks of one log line, in order: card values kept aside, sensitive tag
// values hidden, copies of the card values masked, then card numbers found
// by the Luhn check. The text keeps its length.
void MaskLogText(char* text, size_t length, char mask);

// Luhn check of `count` decimal digits (false for any other character).
bool LuhnValid(const char* digits, size_t count);
// Every run of 13 to 19 digits (not part of a longer run, not only zeros)
// that passes the Luhn check is masked like a card number. The number of runs
// masked.
size_t MaskCardNumberRuns(char* text, size_t length, char mask);

}  // namespace carddata
