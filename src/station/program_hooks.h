// The few calls the station and the payment logic make to the program above
// them, through one table that the program installs when it opens its
// session (TOC_OpenSession), before it reads its first request. Each
// call has a fallback for a process without the program (a test of a lower
// floor): the least that keeps the process sound.
#pragma once

struct ProgramHooks {
    // Installed by the program: only it may shut its session down before the run ends.
    void (*endProgram)(int exitCode);
    // Installed by the program: the stop aborts the transaction, which the POS link may not reach.
    void (*stopOnDeadPos)();
    // Installed by the program: the menu is the program's (its choices start a maintenance or an entry).
    void (*hiddenServiceMenu)();
};

// Installs the table (copied); null removes it.
void SetProgramHooks(const ProgramHooks* hooks);
// The installed table (every entry null before the installation).
const ProgramHooks& GetProgramHooks();

// Ends the run with the exit code: the program shuts the EFT context down,
// then the process ends (EndProcess). Without the program, the process ends
// at once.
[[noreturn]] void EndProgram(int exitCode);
// The POS link found that the cash register no longer reads its mailbox,
// and the option ExitOnDeathPOS asks for a stop: the program aborts the
// transaction and ends the run (exit code 0). Without the program, the
// process ends with code 0.
[[noreturn]] void StopProgramOnDeadPos();
// The hidden service menu on "P5"; nothing without the program.
void RunHiddenServiceMenu();
