// Start-up of trv_71: single-instance guard, command line, events, session
// opening, POS link, automatic maintenance and the main loop.
#include "app/startup.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/hidden_menu.h"
#include "app/loop_wait.h"
#include "app/main_loop.h"
#include "app/pos_dialogue.h"
#include "app/stop_notice.h"
#include "comm/comm_services.h"
#include "core/helpers.h"
#include "core/protected_pan.h"
#include "core/trace.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "platform/clock.h"
#include "platform/named_event.h"
#include "platform/pos_mailbox.h"
#include "platform/process.h"
#include "platform/process_watch.h"
#include "platform/wake_word.h"
#include "protocols/xpro/xa_link.h"
#include "station/display_zones.h"
#include "station/eft_context.h"
#include "station/net_resources.h"
#include "station/options.h"
#include "station/periph_context.h"
#include "station/pos_link.h"
#include "station/program_hooks.h"
#include "station/protected_pan_app.h"
#include "station/server_box.h"
#include "station/text_field.h"
#include "station/trace_binding.h"
#include "transactions/pos_answer.h"
#include "transactions/terminal_commands.h"
#include "transactions/wait_callback.h"

namespace {

SingleInstanceGuard g_guard;
plat::NamedEvent g_clientReadyEvent;
// The host that started the program (its parent at start).
plat::WatchedProcess g_host;

void PrintUsage() {
    std::fputs("\nSYNTAXE D'APPEL:", stdout);
    std::fputs("\n\ttrv_71 [-istationid] [-llangue] [-ddebuglevel] [-ffiletrace] [-mmodulotrace] "
               "[-cclientnettype] [-rresourceid] [-pmainpath] [-eechomode] [-ggenearteevent]",
               stdout);
    std::fflush(stdout);
}

// A path value of at most 100 characters; a longer one is refused and traced.
void TakePath(char (&field)[kPathFieldSize], const char* value, char option) {
    if (std::strlen(value) >= kPathFieldSize) {
        WSysError("-- ERROR -- Valeur de l'option -%c trop longue (%d caracteres max), ignoree", option,
                  kPathFieldSize - 1);
        return;
    }
    std::snprintf(field, kPathFieldSize, "%s", value);
}

int FoldEchoMode(int value) { return value >= 0 && value <= 2 ? value : 3; }

// --- the program's hooks (station/program_hooks.h) -------------------------

// The end of the run asked below the program: the EFT context shut down,
// then the process ended.
[[noreturn]] void EndAfterShutdown(int exitCode) {
    ShutdownClient();
    EndProcess(exitCode);
}

// The cash register no longer reads (the POS link traced it): the server
// connection closed, the transaction aborted unless it was already, the
// shutdown, exit code 0.
[[noreturn]] void StopForDeadPos() {
    EFTCBox* context = GetEftContext();
    TransactionRecord* record = GetTransactionRecord();
    Options.ConnectedMode = 0;
    TOC_CloseServer(context);
    const bool alreadyAborted =
        record != nullptr && context != nullptr && record->resetRequired != 1 && context->abortCode == 3;
    if (!alreadyAborted) AbortTransaction("9001", 0);
    EndAfterShutdown(0);
}

constexpr ProgramHooks kProgramHooks{EndAfterShutdown, StopForDeadPos, HiddenServiceMenu};

}  // namespace

CommandLineResult ReadCommandLine(int argc, const char* const* argv, std::string& oneShot) {
    ProcessOptions& o = g_processOptions;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg == nullptr) continue;
        if (strnlen(arg, kArgumentMaxChars + 1) > kArgumentMaxChars)
            return CommandLineResult::ArgumentTooLong;
        if (arg[0] != '-' || arg[1] == '\0') continue;
        const char* value = arg + 2;
        switch (arg[1]) {
            case 'i': o.station = std::atoi(value); break;
            case 'r': o.resourceId = std::atoi(value); break;
            case 'l': o.language = std::atoi(value); break;
            case 'd': o.debugLevel = std::atoi(value); break;
            case 'f': TakePath(o.exchangeLogName, value, 'f'); break;
            case 'm': o.logSizeKb = std::atoi(value); break;
            case 'c': o.clientNetType = std::atoi(value); break;
            case 'p': TakePath(o.mainPath, value, 'p'); break;
            case 'e': o.echoMode = FoldEchoMode(std::atoi(value)); break;
            case 'g': o.generateEvents = std::atoi(value); break;
            case 'o': o.offlineLevel = std::atoi(value); break;
            case 't': o.posTimeout = std::atoi(value); break;
            case 'R': oneShot = value; break;
            case '?': PrintUsage(); break;
            default: break;
        }
    }
    return CommandLineResult::Ok;
}

bool EnforceSingleInstance(SingleInstanceGuard& guard) {
    const std::string path = plat::CurrentProgramPath();
    if (path.empty()) return false;
    const size_t slash = path.find_last_of('/');
    const std::string file = slash == std::string::npos ? path : path.substr(slash + 1);

    const int opened = guard.mutex.Open("$$_" + file);
    if (opened != 0)
        WSysError("-- ERROR -- EnforceSingleInstance: mutex $$_%s refuse ou inaccessible (%d)", file.c_str(), opened);
    // The name was open already: another process of this program file runs.
    const bool running = opened == 0 && guard.mutex.existed();
    // Own the mutex when it is free (an abandoned one included); never wait.
    if (opened == 0) guard.mutex.Wait(0);
    const plat::ShmError block =
        guard.pidBlock.Open("##_" + file, sizeof(int32_t), plat::SharedMemory::Mode::OpenOrCreate);
    if (block != plat::ShmError::None) {
        WSysError("-- ERROR -- EnforceSingleInstance: bloc ##_%s refuse ou inaccessible (%d)", file.c_str(),
                  guard.pidBlock.lastErrno());
        return true;
    }
    auto* pid = static_cast<int32_t*>(guard.pidBlock.data());
    const int32_t previous = __atomic_exchange_n(pid, static_cast<int32_t>(plat::CurrentPid()), __ATOMIC_ACQ_REL);
    // End it (exit code 0): only a process that runs a program file of this
    // name, whatever its directory, so a reused pid is never hit. This pid is
    // recorded first: the ended program tells in its trace that a newer
    // instance stopped it.
    if (running && previous > 0) plat::TerminateProcessNamed(static_cast<pid_t>(previous), file);
    return true;
}

int TOC_OpenSession() {
    const ProcessOptions& o = g_processOptions;
    // What the layers below call up: installed before anything of the
    // session runs, so before the first request is read.
    SetProgramHooks(&kProgramHooks);
    // The XA link of the DORAN terminals: the final body of each answer to
    // the capture of the protected card number (a station service), and the
    // pad set-up byte of the EFT context, which splits its control frames.
    static const XaHooks kXaHooks{EMV_ReadTrack2Equivalent, EFTOC_GetPadSetupFlag};
    XA_SetHooks(&kXaHooks);
    TOC_BindTraceFront();
    char instanceName[20];
    std::snprintf(instanceName, sizeof instanceName, "Eft_%03d", o.station % 100000);

    KT_MAIN_SERVER_INSTANCE& main = KTS_MainInstance();
    if (main.initialize(o.resourceId, 1) != 1 ||
        KTS_GetMain(&main, o.clientNetType, instanceName, nullptr, nullptr, nullptr) != 1) {
        std::printf("\n [!]Ouverture Instance EFT : Echec(1) ");
        return -1;
    }
    if (main.start() != 1) {
        std::printf("\n [!]Ouverture Instance EFT : Echec(2) ");
        return -1;
    }
    EFTCBox* context = NewEftoc(o.resourceId, o.station);
    if (context == nullptr) {
        std::printf("\n [!]Ouverture Objet Contexte  : Echec ");
        return -2;
    }
    SetEftContext(context);

    EFTOC_SetMainPath(context, o.mainPath);
    EFTOC_SetApplicationCode(context, "1200");
    context->consoleResource = 41;
    EFTOC_SetLanguages(context, o.language, o.language);
    EFTOC_SetEchoMode(context);
    EFTOC_SetPosEventFlag(context, o.generateEvents);
    EFTOC_SetExchangeLog(context, o.logSizeKb, o.exchangeLogName);
    EFTOC_SetOfflineLevel(context, o.offlineLevel);
    context->posTimeout = o.posTimeout;
    EFTOC_SetDebugLevel(context, o.debugLevel);

    context->box = KTS_GetClone(&main, nullptr, instanceName, o.resourceId, 0);
    if (context->box == nullptr) {
        std::printf("\n [!]Ouverture Contexte 0 : Echec ");
        return -3;
    }
    int status = TOC_OpenTextZones(context, "posm");
    if (status < 0) {
        std::printf("\n->EChec TextManager_0 status=%d", status);
        return -4;
    }
    status = TOC_LoadOptions();
    if (status != 0) {
        std::printf("\n->EChec lecture fichier znpop status=%d", status);
        return -7;
    }
    status = TOC_OpenNetResources(context);
    if (status < 0) {
        std::printf("\n->EChec LanManager_0 status=%d", status);
        return -5;
    }
    status = TOC_MakePeripheralContext(context);
    if (status < 0) {
        std::printf("\n->EChec PeriphManager_0 status=%d", status);
        return -6;
    }
    LoadStorageCertificate();

    TransactionRecord& record = *OpenTransactionRecord();
    EPAP_SetWaitCallback(WaitCallback);
    EchoScreenClear();
    static const PosGuiExecutors kPosGui{PosDisplayText, PosWaitKey, PosWaitZoneEntry, PosWaitSelection,
                                         PosLocalSPOOL};
    ISAP_SetPosGuiExecutors(&kPosGui);

    record.flowCounter = 0;
    char station[16];
    std::snprintf(station, sizeof station, "%d", o.station);
    CopyField(record.station, station);
    record.processingMode = 0;
    record.lastFlashState = -1;
    record.showConnectionWait = 1;

    WShared_Initialize(o.resourceId, 10);
    TOC_EnableAllServers();
    context->papBox = EPAP_GetBox();
    return 1;
}

void RememberP5Window(EFTCBox* context) {
    LoopStartupState& startup = GetLoopStartupState();
    startup.p5Window = context != nullptr ? KTS_GetWindow(context->box, "P5") : nullptr;
    startup.p5Resource = startup.p5Window != nullptr ? startup.p5Window->resource : 0;
}

bool HostHasEnded() { return g_host.HasEnded(); }

void EndIfHostEnded() {
    if (!g_host.HasEnded()) return;
    TraceLog(TRACE_INFO, "[POS]", "Application hote (%d) terminee: arret du client monetique",
             static_cast<int>(g_host.pid()));
    ShutdownClient();
    WComTraceCloseAll();
    EndProcess(0);
}

void ResetIdleBehaviourStep() {
    TransactionRecord* record = GetTransactionRecord();
    if (record != nullptr) record->barcodeActive = Options.IdleBehaviour[0] != '\0' ? 1 : 0;
}

int TrvMain(int argc, const char* const* argv) {
    plat::InstallTerminateHandler();
    // The host's end also wakes the main loop's sleep (the watch stays the test).
    if (g_host.WatchParent() == 0) g_host.SignalAtParentEnd(plat::InstallWakeSignal());
    std::string oneShot;
    InitDefaultOptions();
    EnforceSingleInstance(g_guard);
    ArmStopNotice(g_guard.pidBlock.isOpen() ? static_cast<const int32_t*>(g_guard.pidBlock.data()) : nullptr);
    if (ReadCommandLine(argc, argv, oneShot) == CommandLineResult::ArgumentTooLong) return 0;

    const ProcessOptions& o = g_processOptions;
    if (o.generateEvents != 0) {
        if (ZelDiaCreateEvent(static_cast<unsigned>(o.station)) != 1) EndProcess(-1);
        char name[32];
        std::snprintf(name, sizeof name, "%s%03d", poslink::kClientReadyEventPrefix, o.station);
        if (g_clientReadyEvent.Open(name) == 0) g_clientReadyEvent.Reset();
    }

    WSSLSetInterface(0);
    WSysSetTraceHook(TOC_ZoneTraceWriter);
    TraceFrontSetZoneWriter(TOC_ZoneTraceWriter, TOC_ZoneTraceWriter);

    const int opened = TOC_OpenSession();
    EFTCBox* context = GetEftContext();
    if (opened < 0 || context == nullptr) {
        WSysError("-- ERROR -- Echec lancement du client monetique(Code erreur : %d)", opened);
        if (context != nullptr) ShutdownClient();
        EndProcess(-1);
    }
    StopNoticeUseSession(context);
    WComTraceSetMaxSize(context->logSizeKb);
    TWI_SetSpoolMaxSize(context->logSizeKb);
    if (context->debugLevel != 0)
        WSysError("** INFO. ** ################ OUVERTURE DE SESSION Version %s ################",
                  kProgramVersion);
    if (o.generateEvents != 0) {
        if (context->debugLevel != 0) {
            char line[128];
            std::snprintf(line, sizeof line,
                          "** INFO. ** ################ OUVERTURE DE SESSION Version %s ################",
                          kProgramVersion);
            LogExchange(0, line, context->exchangeLogName, context->logSizeKb);
        }
        if (g_clientReadyEvent.isOpen()) g_clientReadyEvent.Set();
    }

    LoopStartupState& startup = GetLoopStartupState();
    RememberP5Window(context);
    context->loopState = 0;
    TransactionRecord* record = GetTransactionRecord();

    if (Options.UploadNeeded != 0) {
        if (EPAP_GetProtocol(4) == 16 && (Options.UploadNeeded & 1) != 0) {
            TraceLog(TRACE_ERROR, "[MAINTENANCE]",
                     "Le mode usine n'est pas supporte pour les lecteurs de type RUDA (%s & 1)",
                     "UploadNeeded");
            if (KTS_SetFile(context->box, "znpop") < 0 ||
                KTS_ReSetItemText(context->box, "UploadNeeded", "0") < 0 ||
                KTS_ReSetFileText(context->box) < 0)
                TraceLog(TRACE_ERROR, "[MAINTENANCE]", "Mise a jour des options echouee");
        } else {
            record->step = 0;
            context->loopState = 10;
            record->posAnswerState = 2;
            if (startup.p5Window != nullptr) ISAP_ResetWindowResource(startup.p5Window);
        }
    }

    if (!oneShot.empty()) {
        std::snprintf(context->posCommand, sizeof context->posCommand, "%s", oneShot.c_str());
        TraceLog(TRACE_DEBUG, "[CMD]", "Command: %s", context->posCommand);
    } else {
        context->posLink = ZelDiaOpen(context->station, 0);
    }

    if (RUDA_WaitFor103(0) < 0) context->loopState = -1;
    if (context->loopState >= 0 && GetTerminalFamily(static_cast<unsigned>(record->terminalModel)) == 2)
        TermOpenInitCtl();
    ResetIdleBehaviourStep();
    if (Options.TimeBeforeIdleBehaviour > 0) startup.idleStamp = WGetTimeStamp();

    while (GetEftContext() != nullptr && GetEftContext()->loopState >= 0) {
        EndIfHostEnded();
        StopNoticeRefreshClock();
        RunLoopPass();
        if (GetEftContext() == nullptr) break;
        WaitForNextPass();
    }
    ShutdownClient();
    WComTraceCloseAll();
    return 0;
}
