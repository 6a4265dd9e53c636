// The table of the program's hooks and the calls through it.
#include "station/program_hooks.h"

#include "station/process_options.h"

namespace {

ProgramHooks g_hooks{};

}  // namespace

void SetProgramHooks(const ProgramHooks* hooks) { g_hooks = hooks != nullptr ? *hooks : ProgramHooks{}; }

const ProgramHooks& GetProgramHooks() { return g_hooks; }

void EndProgram(int exitCode) {
    if (g_hooks.endProgram != nullptr) g_hooks.endProgram(exitCode);
    EndProcess(exitCode);
}

void StopProgramOnDeadPos() {
    if (g_hooks.stopOnDeadPos != nullptr) g_hooks.stopOnDeadPos();
    EndProcess(0);
}

void RunHiddenServiceMenu() {
    if (g_hooks.hiddenServiceMenu != nullptr) g_hooks.hiddenServiceMenu();
}
