// Start-up of the console program: the command line, the single-instance
// guard, the session opening, the watch of the host and the idle-behaviour
// switch.
#pragma once
#include <string>

#include "platform/named_mutex.h"
#include "platform/shared_memory.h"
// The process options the command line sets, and the end of the process.
#include "station/process_options.h"

constexpr int kArgumentMaxChars = 10240;  // longest argument, -R included

enum class CommandLineResult { Ok, ArgumentTooLong };

// True when an argument asks for the usage ("-?", "-h" or "--help"): the
// program then prints it and ends before anything else is done.
bool AsksForHelp(int argc, const char* const* argv);

// Reads the arguments after the program name into g_processOptions; the
// one-shot request (-R) goes into oneShot. Letters it does not know
// (-h, -? included) are ignored.
CommandLineResult ReadCommandLine(int argc, const char* const* argv, std::string& oneShot);

// The two single-instance objects of the process.
struct SingleInstanceGuard {
    plat::NamedMutex mutex;
    plat::SharedMemory pidBlock;
};

// Ends a running process of the same program file and records this one.
// False only when the program's own file name cannot be obtained.
bool EnforceSingleInstance(SingleInstanceGuard& guard);

// Opens the session: main server instance, EFT context, texts, options,
// network resources and peripheral context, the transaction record, and
// the program's part in the layers below it (trace binding, terminal wait
// callback, the POS GUI's executors). 1, or a negative code.
int TOC_OpenSession();

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

// The whole program: start-up, main loop, shutdown; the process exit code.
int TrvMain(int argc, const char* const* argv);
