// One till for card payments end to end, free of the test framework (tests
// and benchmarks use it alike): a copy of the example tree whose terminal
// line is a pseudo-terminal answered by the RUDA terminal simulator, its
// payment servers (PRINCIPAL, SECOURS, TERTIAIRE) played by acquirer
// simulators in clear or over TLS, "znpop" options replaced as asked, a POS
// number of its own, and the client library opening the till (which starts
// a private copy of trv_71). Everything goes in the destructor: the library
// instance is closed (the program ends; one that does not is killed and the
// shared objects named after it removed), the simulators stop, the
// directory is removed, and so is every shared object named after the
// program; the POS number's lock goes when the process ends.
//
//   testsupport::PaymentStationSetup setup;
//   setup.servers = {"default answer reply rs=00"};       // PRINCIPAL only
//   testsupport::PaymentStation till(setup);
//   std::string error, answer;
//   int ack = -1;
//   if (!till.Start(&error) || !till.Send({{"SV", "s0"}, {"CD", "c1"}, {"D10", "500"}}, &ack, &error) ||
//       !till.WaitAnswer(30000, &answer, &error)) ...
//   PaymentStation::Tag(answer, "RS")                      // "00"
//   till.terminal().exchanges(), till.server(0).requests()
//
// Setup:
//   terminal   the RUDA simulator's scenario ("card FILE" relative to the
//              source tree's tools/rudasim/scenarios); by default the chip
//              card of card_sim and no event queued (push one with
//              terminal().pushEvent once the card request came)
//   servers    one acquirer scenario per server, in order; kNobodyListens
//              for a port where nothing listens (the connection is refused)
//   tls        the test certificates: the servers use "localhost.crt", the
//              till checks them against the root CA
//   options    "znpop" keys replaced (or added) with these values
//   lineTrace  the terminal line's trace mode ("LGT_0" of "com": "WANALY",
//              "SQLITE"); the trace then goes to WLOG/pinpad.log
//   directories  made in the till before it starts ("WOut": the spool
//              files of the printer windows)
//   programStreams  the program's standard output and error kept in
//              "program.out" and "program.err" of the till (the library
//              starts it with /dev/null): the program file is then a script
//              that runs the program (".bin/<name>") with them, and with
//              programArguments after the library's own
// Stop() ends the program through the library and keeps the directory.
// Every function returns false with the reason in *error when it fails.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "linesim/line_sim.h"
#include "netsim/acquirer.h"
#include "rudasim/ruda_terminal.h"
#include "support/config_tree.h"
#include "support/net_config.h"
#include "support/signed_file_writer.h"
#include "support/station_lock.h"
#include "support/tls_pki.h"
#include "support/znp_dll_loader.h"

namespace testsupport {

using TagList = std::vector<std::pair<std::string, std::string>>;

struct PaymentStationSetup {
    static inline const std::string kNobodyListens = "<nobody listens>";
    std::string terminal = "card ../../cardsim/scenarios/chip_card.scn\n";
    std::vector<std::string> servers;
    const TestPki* tls = nullptr;
    TagList options;
    std::string lineTrace;
    std::vector<std::string> directories;
    bool programStreams = false;
    std::vector<std::string> programArguments;
};

class PaymentStation {
public:
    static constexpr uint32_t kCapacity = 10241;

    explicit PaymentStation(PaymentStationSetup setup) : setup_(std::move(setup)) {}
    ~PaymentStation() {
        if (id_ != 0) Library().Close(id_, 0);
        EndStuckProgram();
        for (auto& s : servers_)
            if (s) s->stop();
        for (int fd : refusing_) close(fd);
    }
    PaymentStation(const PaymentStation&) = delete;
    PaymentStation& operator=(const PaymentStation&) = delete;

    // Builds the till and opens it through the library.
    bool Start(std::string* error) {
        if (!dir_.ok()) return Fail(error, "the example tree could not be copied");
        ZnpDll& dll = Library();
        if (!dll.error.empty()) return Fail(error, "client library: " + dll.error);
        if (!StartTerminal(error) || !StartServers(error) || !WriteOptions(error) || !WriteLineTrace(error))
            return false;
        for (const std::string& d : setup_.directories) {
            std::error_code ec;
            std::filesystem::create_directories(dir_.file(d), ec);
            if (ec) return Fail(error, d + " could not be made: " + ec.message());
        }
        const std::string program = dir_.file(ProgramName());
        if (!InstallProgram(program, error)) return false;
        const int opened = dll.OpenStation(&id_, pos_, program, dir_.file("ECHANGES.LOG"));
        if (opened != 0 || id_ == 0) {
            id_ = 0;
            return Fail(error, "SZelApiOpen gave " + std::to_string(opened));
        }
        return true;
    }

    // Closes the till through the library: the program ends (killed after
    // the library's wait); the directory stays.
    void Stop() {
        if (id_ != 0) Library().Close(id_, 0);
        id_ = 0;
        EndStuckProgram();
    }

    // Sends one request built with the tag exports; *ack: the library's
    // acknowledgement.
    bool Send(const TagList& tags, int* ack, std::string* error) {
        ZnpDll& dll = Library();
        std::vector<char> message(kCapacity);
        if (dll.WriteInit(id_, message.data(), kCapacity) != 1) return Fail(error, "ATAG_WriteInitForInstance failed");
        std::string sv;
        for (const auto& [code, value] : tags) {
            if (code == "SV") sv = value;
            if (dll.SetStringVal(id_, code.c_str(), value.c_str()) != 1) return Fail(error, "cannot set tag " + code);
        }
        const uint32_t capacity = kCapacity;
        *ack = dll.Send(id_, sv.c_str(), message.data(), &capacity);
        return true;
    }

    // The next answer of the program within timeoutMs, answering the flash
    // informations (SV "s11") that come before it.
    bool WaitAnswer(int timeoutMs, std::string* answer, std::string* error) {
        ZnpDll& dll = Library();
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        std::vector<char> text(kCapacity);
        for (;;) {
            int waited = 7;
            while (waited == 7 && std::chrono::steady_clock::now() < end) waited = dll.Wait(id_, 100);
            if (waited != 0) return Fail(error, "no answer (SZelApiWaitSynchro gave " + std::to_string(waited) + ")");
            char service[8] = {};
            uint32_t room = kCapacity;
            if (dll.Get(id_, service, text.data(), &room) != 0) return Fail(error, "SZelApiGetMessage failed");
            *answer = text.data();
            if (Tag(*answer, "SV") != "s11") return true;
            int ack = -1;
            if (!Send({{"SV", "s11"}, {"CD", Tag(*answer, "CD").value_or("")}, {"D3G", "recu"}}, &ack, error))
                return false;
            if (ack != 0) return Fail(error, "flash reply acknowledged " + std::to_string(ack));
        }
    }

    // The value of a tag of a tag message ({CODE}value...{F}); nullopt when
    // absent.
    static std::optional<std::string> Tag(const std::string& message, const std::string& code) {
        const std::string key = "{" + code + "}";
        const size_t at = message.find(key);
        if (at == std::string::npos) return std::nullopt;
        const size_t from = at + key.size();
        return message.substr(from, message.find('{', from) - from);
    }

    // Closes the library instance now (SZelApiClose, which ends the
    // program): its result.
    int Close() {
        const int closed = Library().Close(id_, 0);
        id_ = 0;
        return closed;
    }
    // The processes of this till's program file still there.
    std::vector<int> ProgramProcesses() const {
        std::vector<int> found;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
            const std::string pid = entry.path().filename().string();
            if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
            std::string comm = ReadFileText(entry.path().string() + "/comm");
            if (!comm.empty() && comm.back() == '\n') comm.pop_back();
            if (comm == ProgramName()) found.push_back(std::stoi(pid));
        }
        return found;
    }
    // The shared objects (/dev/shm) named after this till: its program file
    // and its POS number.
    std::vector<std::string> SharedObjects() const {
        const std::string pos = std::to_string(pos_);
        const std::string names[] = {ProgramName(), "TRVOK" + pos + ".", "TALVO" + pos + ".", "SHTPIPE" + pos + ".",
                                     "KT_SEM_COM_" + pos + "00."};
        std::vector<std::string> found;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator("/dev/shm", ec)) {
            const std::string name = entry.path().filename().string();
            for (const std::string& n : names)
                if (name.find(n) != std::string::npos) found.push_back(name);
        }
        return found;
    }

    rudasim::RudaSim& terminal() { return *terminal_; }
    // Server i (0 PRINCIPAL, 1 SECOURS, 2 TERTIAIRE); only for those that
    // listen.
    netsim::AcquirerSim& server(size_t i) { return *servers_.at(i); }
    const TempDir& dir() const { return dir_; }
    uint32_t pos() const { return pos_; }

private:
    static ZnpDll& Library() {
        static ZnpDll dll;
        static const bool loaded = dll.Load();
        (void)loaded;
        return dll;
    }
    static bool Fail(std::string* error, const std::string& why) {
        *error = why;
        return false;
    }

    // The program file's name (its process name too).
    std::string ProgramName() const { return "trv_71_pay_" + std::to_string(pos_); }

    // A program that did not end on the close (stuck in a loop) is killed,
    // and the shared objects left, named after its file and its POS number,
    // are removed.
    void EndStuckProgram() {
        for (int pid : ProgramProcesses()) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        // Whatever a program ended from outside (here, or by the library
        // after its grace time) left behind goes too.
        std::error_code ec;
        for (const std::string& name : SharedObjects()) std::filesystem::remove("/dev/shm/" + name, ec);
    }

    bool StartTerminal(std::string* error) {
        std::string why;
        const std::string base = std::string(ExampleTreePath()) + "/../tools/rudasim/scenarios";
        auto scenario = rudasim::RudaScenario::Parse(setup_.terminal, base, &why);
        if (!scenario) return Fail(error, "terminal scenario: " + why);
        terminal_ = std::make_unique<rudasim::RudaSim>(std::move(*scenario));
        if (!terminal_->start()) return Fail(error, "the terminal simulator did not start");
        why = linesim::SetDriver(dir_.file("WCFG/pinpad.cfg"), terminal_->slaveName());
        if (!why.empty()) return Fail(error, "terminal line: " + why);
        return true;
    }

    // A loopback port bound but not listening: a connection is refused, and
    // no one else gets the port while the till runs.
    bool RefusingPort(int* port, std::string* error) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
            if (fd >= 0) close(fd);
            return Fail(error, "no port for a server that does not listen");
        }
        refusing_.push_back(fd);
        *port = ntohs(a.sin_port);
        return true;
    }

    bool StartServers(std::string* error) {
        netsim::TlsSettings tls;
        if (setup_.tls != nullptr) {
            tls.certificate = setup_.tls->path("localhost.crt");
            tls.key = setup_.tls->path("server.key");
        }
        std::vector<TestServer> listed;
        for (const std::string& scenario : setup_.servers) {
            int port = 0;
            if (scenario == PaymentStationSetup::kNobodyListens) {
                if (!RefusingPort(&port, error)) return false;
                servers_.emplace_back();
            } else {
                std::string why;
                auto parsed = netsim::AcquirerScenario::Parse(scenario, &why);
                if (!parsed) return Fail(error, "server scenario: " + why);
                auto sim = std::make_unique<netsim::AcquirerSim>(std::move(*parsed));
                if (setup_.tls != nullptr && !sim->setTls(tls, &why)) return Fail(error, "server TLS: " + why);
                if (!sim->start()) return Fail(error, "a server simulator did not start");
                port = sim->port();
                servers_.push_back(std::move(sim));
            }
            listed.push_back({setup_.tls != nullptr ? "localhost" : "127.0.0.1", port, ""});
        }
        // The TLS resource's lines, of network type 2 (TCP) in clear.
        std::vector<std::string> lines = TlsResource(0, listed);
        if (setup_.tls != nullptr) {
            const auto certs = CertificateSettings(setup_.tls->path("cadir/ca.crt"), 1, 1);
            lines.insert(lines.end(), certs.begin(), certs.end());
        } else {
            lines.front() = "[NTY_000:2]";
        }
        if (!WriteNetFile(dir_.str(), lines)) return Fail(error, "the net file could not be written");
        return true;
    }

    // The program where the library starts it: a copy, or with
    // programStreams a script running the copy in ".bin" with its streams
    // kept.
    bool InstallProgram(const std::string& program, std::string* error) {
        std::error_code ec;
        if (!setup_.programStreams) {
            std::filesystem::copy_file(BinPath("trv_71"), program, ec);
            if (ec) return Fail(error, "trv_71 could not be copied: " + ec.message());
            return true;
        }
        std::filesystem::create_directory(dir_.file(".bin"), ec);
        const std::string real = dir_.file(".bin/" + ProgramName());
        std::filesystem::copy_file(BinPath("trv_71"), real, ec);
        if (ec) return Fail(error, "trv_71 could not be copied: " + ec.message());
        std::string script = "#!/bin/sh\nexec '" + real + "' \"$@\"";
        for (const std::string& a : setup_.programArguments) script += " '" + a + "'";
        script += " >>'" + dir_.file("program.out") + "' 2>>'" + dir_.file("program.err") + "'\n";
        {
            std::ofstream out(program, std::ios::binary);
            out << script;
            if (!out) return Fail(error, "the program script could not be written");
        }
        std::filesystem::permissions(program, std::filesystem::perms::owner_all, ec);
        if (ec) return Fail(error, "the program script cannot be made executable: " + ec.message());
        return true;
    }

    // The terminal line's trace mode in "com", its directory made.
    bool WriteLineTrace(std::string* error) {
        if (setup_.lineTrace.empty()) return true;
        std::error_code ec;
        std::filesystem::create_directory(dir_.file("WLOG"), ec);
        if (ec || !SetKeys(dir_.file("WCFG/com_00.wt"), {{"LGT_0", setup_.lineTrace}}))
            return Fail(error, "the line trace could not be set");
        return true;
    }

    bool WriteOptions(std::string* error) {
        if (setup_.options.empty()) return true;
        if (!SetKeys(dir_.file("WPAF/znpop_00.wt"), setup_.options)) return Fail(error, "znpop could not be written");
        return true;
    }

    // Rewrites a parameter file with these keys replaced (or added), signed
    // again.
    static bool SetKeys(const std::string& path, const TagList& keys) {
        std::istringstream in(ReadFileText(path));
        std::vector<std::string> lines;
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.rfind("{", 0) == 0) continue;  // the signature record, made again
            bool replaced = false;
            for (const auto& [key, value] : keys) replaced = replaced || line.rfind("[" + key + ":", 0) == 0;
            if (!replaced) lines.push_back(line);
        }
        for (const auto& [key, value] : keys) lines.push_back("[" + key + ":" + value + "]");
        return WriteSignedParamFile(path, lines);
    }

    PaymentStationSetup setup_;
    ConfigTree dir_;
    uint32_t pos_ = UniquePosNumber();
    std::unique_ptr<rudasim::RudaSim> terminal_;
    std::vector<std::unique_ptr<netsim::AcquirerSim>> servers_;
    std::vector<int> refusing_;
    uint32_t id_ = 0;
};

}  // namespace testsupport
