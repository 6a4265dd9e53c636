// The client library's own text log: one file per POS number (plus files for
// lines of no opened POS), each line stamped with date, time, thread and
// instance, its level and module taken from the message text, sensitive tag
// values masked, the lines of an idle polling loop folded into dots, and the
// file rotated by size.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace znpdll {

class DllLogger {
public:
    static DllLogger& Get();

    // Settings of SZelApiOpen; process-wide, the last opening wins.
    void SetEnabled(uint32_t logSwitch);
    void SetMaxSizeKb(int32_t sizeKb);
    void SetDirectory(const std::string& directory);
    bool IsVerbose() const;

    void Log(uint32_t instanceId, std::string_view message);
    // printf-formatted; the poll throttle looks at the format.
    void Logf(uint32_t instanceId, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Back to the state at load (tests).
    void Reset();

private:
    DllLogger();
    void Write(uint32_t instanceId, std::string_view message, std::string_view throttleKey);
    bool ThrottleSaysDot(std::string_view key);
    void PathsFor(uint32_t instanceId, uint32_t posNumber, std::string* log, std::string* backup) const;

    // The log files stay open between lines, a few at a time (one per POS
    // number in use); each is checked against its name before every line.
    struct OpenLog {
        std::string path;
        int fd = -1;
        unsigned long device = 0;
        unsigned long inode = 0;
    };
    static constexpr size_t kOpenLogs = 8;
    int FileFor(const std::string& path, bool named, unsigned long device, unsigned long inode);
    void CloseLogs();

    mutable std::mutex lock_;
    OpenLog logs_[kOpenLogs];
    size_t nextLog_ = 0;
    int32_t maxSizeKb_ = 4096;
    uint32_t enabled_ = 0;
    std::string directory_;
    std::string initialDirectory_;
    int throttle_ = 0;
};

// Directory in which the library log goes for a log file name: its directory
// part, "." (the current directory) when it has none.
std::string LogDirectoryOf(const char* logFileName);

// Level, module and text of one message: "LEVEL - MODULE - text".
std::string FormatBody(std::string_view message);

// True for the codes whose values never reach a log in clear (the program's
// list: platform/card_data_rules.h).
bool IsSensitiveTag(std::string_view code);

// Masks a log body with '#' by the rules of the program's logs: the value of
// every sensitive tag (everything after "{CODE}" up to the next "{" or the
// end; display texts keep all but the middle digits of a card number),
// copies of the card numbers those tags carry, and every run of 13 to 19
// digits that passes the Luhn check (first 6 and last 4 digits kept).
std::string MaskTagValues(std::string_view text);

// printf into a string of exactly the needed length.
std::string StringFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace znpdll
