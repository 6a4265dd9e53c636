// Start-up of the console program: process options and the command line, the
// single-instance guard, UUID texts and the idle-behaviour switch.
#pragma once
#include <memory>
#include <string>

#include "platform/named_mutex.h"
#include "platform/shared_memory.h"

constexpr int kPathFieldSize = 101;       // -p and -f: 100 characters
constexpr int kArgumentMaxChars = 10240;  // longest argument, -R included

struct ProcessOptions {
    int station;
    int resourceId;
    int language;
    int debugLevel;
    char exchangeLogName[kPathFieldSize];
    int logSizeKb;
    int clientNetType;
    char mainPath[kPathFieldSize];
    int echoMode;
    int generateEvents;
    int offlineLevel;
    int posTimeout;
};

extern ProcessOptions g_processOptions;

// Sets the defaults of the process options and the console work directory.
void InitDefaultOptions();

enum class CommandLineResult { Ok, ArgumentTooLong };

// Reads the arguments after the program name into g_processOptions; the
// one-shot request (-R) goes into oneShot. -? prints the usage and goes on.
CommandLineResult ReadCommandLine(int argc, const char* const* argv, std::string& oneShot);

// The two single-instance objects of the process.
struct SingleInstanceGuard {
    plat::NamedMutex mutex;
    plat::SharedMemory pidBlock;
};

// Ends a running process of the same program file and records this one.
// False only when the program's own file name cannot be obtained.
bool EnforceSingleInstance(SingleInstanceGuard& guard);

// A new UUID text, or an empty holder.
using UuidHolder = std::unique_ptr<char[]>;
UuidHolder CreateUuidString();
void FreeUuidString(UuidHolder& holder);

struct EFTCBox;
// Keeps window "P5" of the box and the resource number it has now, which the
// idle pass gives back to it after an automatic maintenance.
void RememberP5Window(EFTCBox* context);

// Ends the program (exit code 0, after the shutdown) when the host process
// that started it has ended; otherwise does nothing.
void EndIfHostEnded();
// True once the host that started the program has ended (looks without
// waiting).
bool HostHasEnded();

// barcodeActive = 1 when the option IdleBehaviour holds a text, else 0.
void ResetIdleBehaviourStep();

// Ends the process with the exit code, after flushing the standard streams.
// Static objects are destroyed on the way out (std::exit): the named objects
// of the process (single-instance objects, POS link, events) are closed, and
// those that no other process has open are removed.
[[noreturn]] void EndProcess(int code);

// The whole program: start-up, main loop, shutdown; the process exit code.
int TrvMain(int argc, const char* const* argv);
