#include "transactions/ticket_spool.h"

#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/helpers.h"
#include "core/tag_buffer.h"
#include "core/trace_front.h"
#include "periph/console_windows.h"
#include "periph/interface_box.h"
#include "periph/terminal_box.h"
#include "platform/private_file.h"
#include "station/eft_context.h"
#include "station/options.h"
#include "station/server_box.h"
#include "transactions/awaited_calls.h"

namespace {

constexpr const char* kTicket = "[TICKET]";
constexpr const char* kPrint = "[PRINT]";

std::string MarkerOf(const KT_TEXT_WINDOW* window) {
    return window != nullptr ? std::string(window->auxText3, strnlen(window->auxText3, sizeof window->auxText3))
                             : std::string();
}

bool CleanTicketOn() { return Options.CleanTicket != 0; }

// Positions of the non-overlapping markers of the text.
std::vector<size_t> MarkerPositions(const std::string& text, const std::string& marker) {
    std::vector<size_t> at;
    if (marker.empty()) return at;
    for (size_t p = text.find(marker); p != std::string::npos; p = text.find(marker, p + marker.size()))
        at.push_back(p);
    return at;
}

bool IsLineByte(char c) { return c == '\r' || c == '\n'; }

std::string CleanText(std::string text, const std::string& e, const std::string& marker) {
    if (e.empty()) return text;
    while (text.compare(0, e.size(), e) == 0) text.erase(0, e.size());
    if (marker.empty()) return text;
    std::string out;
    out.reserve(text.size());
    size_t from = 0;
    for (size_t p = text.find(marker); p != std::string::npos; p = text.find(marker, from)) {
        std::string piece = text.substr(from, p - from);
        while (piece.size() >= e.size() && piece.compare(piece.size() - e.size(), e.size(), e) == 0)
            piece.resize(piece.size() - e.size());
        out += piece;
        out += marker;
        from = p + marker.size();
        while (text.compare(from, e.size(), e) == 0) from += e.size();
    }
    out.append(text, from, std::string::npos);
    return out;
}

std::string Repeat(const std::string& e, int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += e;
    return out;
}

// The text with its blank lines; false when there is nothing to do.
bool BlankLinesText(const std::string& text, const std::string& e, const std::string& marker, int before, int cut,
                    std::string* out) {
    before = before < 0 ? 0 : before;
    cut = cut < 0 ? 0 : cut;
    const std::vector<size_t> markers = MarkerPositions(text, marker);
    bool notLineStart = false, notLineEnd = false;
    if (!markers.empty()) {
        const size_t b = markers.front();
        notLineStart = b > 0 && !IsLineByte(text[b - 1]);
        const size_t after = b + marker.size();
        notLineEnd = after < text.size() && !IsLineByte(text[after]);
    }
    if (before == 0 && cut == 0 && !notLineStart && !notLineEnd) return false;
    out->clear();
    size_t from = 0;
    for (size_t copy = 0; copy <= markers.size(); ++copy) {
        const bool marked = copy < markers.size();
        const size_t end = marked ? markers[copy] : text.size();
        // A text that ends with its marker has no copy after it.
        if (!marked && end == from && copy > 0) break;
        *out += Repeat(e, before);
        if (copy == 1 && notLineEnd) *out += e;
        out->append(text, from, end - from);
        *out += Repeat(e, cut + (notLineStart ? 1 : 0));
        if (marked) *out += marker;
        from = end + marker.size();
    }
    return true;
}

int CopyBack(char* text, const std::string& value) {
    std::memcpy(text, value.data(), value.size());
    text[value.size()] = '\0';
    return static_cast<int>(value.size());
}

bool ReadWholeFile(const char* path, std::string* out) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    out->clear();
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) out->append(chunk, n);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

// Writes the whole file durably (flushed to the disk): a ticket lost is a
// lost proof of payment.
bool WriteDurably(FILE* file, const std::string& text) {
    const bool written = text.empty() || std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return written && std::fflush(file) == 0 && ::fsync(fileno(file)) == 0;
}

bool RewriteFile(const char* path, const std::string& text) {
    FILE* file = plat::OpenPrivateFile(path, false);
    if (file == nullptr) return false;
    const bool ok = WriteDurably(file, text);
    return std::fclose(file) == 0 && ok;
}

bool FileHasBytes(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return false;
    const bool some = std::fgetc(file) != EOF;
    std::fclose(file);
    return some;
}

// The answer's D3L; *length -1 when absent. False when it could not be read.
bool AnswerTicket(EFTCBox* c, std::string* text, int* length) {
    text->clear();
    *length = -1;
    if (TAG_InitRead(c->serverAnswer, sizeof c->serverAnswer, 0) != 1) return false;
    *length = TAG_GetLength("D3L");
    if (*length < 0) return true;
    std::vector<char> value(static_cast<size_t>(*length) + 1);
    if (TAG_Get("D3L", value.data(), static_cast<int>(value.size()), 1) != 1) return false;
    text->assign(value.data(), static_cast<size_t>(*length));
    return true;
}

int AnswerInt(EFTCBox* c, const char* code) {
    int value = 0;
    if (TAG_InitRead(c->serverAnswer, sizeof c->serverAnswer, 0) != 1) return 0;
    return TAG_GetInt(code, &value, 1) == 1 ? value : 0;
}

// Binds the tag writer and reader to the server answer.
bool BindAnswer(EFTCBox* c) {
    return LoadTagMessage(c->serverAnswer, sizeof c->serverAnswer, 0) == 1 &&
           TAG_InitRead(c->serverAnswer, sizeof c->serverAnswer, 0) == 1;
}

void RemoveAnswerTicket(EFTCBox* c) { TAG_Remove(c->serverAnswer, "D3L"); }

// Clean-up of a ticket text: line ends, then blank lines; the buffer is
// sized for every blank line that may be added.
std::string CleanTicketText(const KT_TEXT_WINDOW* window, const std::string& text) {
    std::string out = CleanText(text, TicketLineEnd(window), MarkerOf(window));
    std::string spaced;
    if (BlankLinesText(out, TicketLineEnd(window), MarkerOf(window), Options.CleanTicketBefore,
                       Options.CleanTicketCut, &spaced))
        out = spaced;
    return out;
}

// A charity ticket whose copies came in the wrong order is reordered (its
// buffer holds the text and one more line end): true when it was.
bool ReorderMisplacedCharity(const KT_TEXT_WINDOW* window, int tmic, std::string* text) {
    if (!IsMisplacedCharityTicket(text->c_str(), window, tmic)) return false;
    TraceLog(TRACE_INFO, "", "Ticket Donation mal formate => deplacement du ticket Donation");
    std::vector<char> buffer(text->begin(), text->end());
    buffer.resize(text->size() + TicketLineEnd(window).size() + 1, '\0');
    const int length = ReorderCharityTicket(buffer.data(), window, static_cast<int>(buffer.size()));
    if (length >= 0) text->assign(buffer.data(), static_cast<size_t>(length));
    return true;
}

bool IsDoranPrinter(const EFTCBox* c) { return (c->printerProtocolFlag & 0x80) != 0; }

// Step 6: no spooled ticket: the answer's ticket is only cleaned.
void CleanAnswerTicket(EFTCBox* c, const KT_TEXT_WINDOW* window) {
    TraceLog(TRACE_INFO, kTicket, "Edition pas necessaire");
    if (!CleanTicketOn() || window == nullptr) return;
    std::string text;
    int length = -1;
    if (!AnswerTicket(c, &text, &length) || length < 0) return;
    const std::string cleaned = CleanTicketText(window, text);
    if (cleaned == text) return;
    if (!BindAnswer(c) || TAG_Replace("D3L", cleaned.c_str()) != 1)
        TraceLog(TRACE_ERROR, kTicket, "Ticket nettoye trop long pour la reponse: ticket laisse tel quel");
}

}  // namespace

std::string TicketLineEnd(const KT_TEXT_WINDOW* window) {
    if (window == nullptr) return std::string();
    std::string e;
    if (window->trim == 0 && window->columns > 0) e.assign(static_cast<size_t>(window->columns), ' ');
    if (const char* end = TWI_GetLineEnd(window)) e += end;
    return e;
}

bool TicketFilePath(const char* ps, std::string* path) {
    path->clear();
    if (ps == nullptr) return false;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(ps, &end, 10);
    if (end == ps || number < 0 || number > INT_MAX || errno != 0) return false;
    char name[32];
    std::snprintf(name, sizeof name, "TICKETCB.%03ld", number);
    *path = std::string(KTXCH_GetLocalRoot()) + name;
    return true;
}

int CleanTicketLineEnds(const KT_TEXT_WINDOW* window, char* text) {
    if (window == nullptr || text == nullptr) return -1;
    const std::string cleaned = CleanText(text, TicketLineEnd(window), MarkerOf(window));
    return CopyBack(text, cleaned);  // never longer than the text
}

size_t TicketBlankLinesCapacity(size_t length, int markers, size_t lineEnd, int before, int cut) {
    const size_t copies = static_cast<size_t>(markers < 0 ? 0 : markers) + 1;
    const size_t perCopy = static_cast<size_t>((before < 0 ? 0 : before) + (cut < 0 ? 0 : cut) + 2);
    return length + copies * perCopy * lineEnd + 1;
}

int AddTicketBlankLines(const KT_TEXT_WINDOW* window, char* text, int capacity, int before, int cut) {
    if (window == nullptr || text == nullptr || capacity <= 0) return -1;
    const std::string original(text, strnlen(text, static_cast<size_t>(capacity)));
    std::string spaced;
    if (!BlankLinesText(original, TicketLineEnd(window), MarkerOf(window), before, cut, &spaced))
        return static_cast<int>(original.size());
    if (spaced.size() + 1 > static_cast<size_t>(capacity)) {
        TraceLog(TRACE_ERROR, kTicket, "Lignes blanches du ticket: %d octets pour %d de place",
                 static_cast<int>(spaced.size() + 1), capacity);
        return -1;
    }
    return CopyBack(text, spaced);
}

int CountCutMarkers(const char* text, const KT_TEXT_WINDOW* window) {
    if (text == nullptr || window == nullptr) return 0;
    return static_cast<int>(MarkerPositions(text, MarkerOf(window)).size());
}

bool IsMisplacedCharityTicket(const char* text, const KT_TEXT_WINDOW* window, int tmic) {
    if (text == nullptr || window == nullptr) {
        TraceLog(TRACE_DEBUG, kPrint, "Pas de ticket ou de gestionnaire de ticket");
        return false;
    }
    const int markers = CountCutMarkers(text, window);
    if (tmic > 0) {
        TraceLog(TRACE_DEBUG, kPrint, "Ticket Donation present, Nb caract coupe = %d", markers);
        if (markers == 3) return true;
    }
    TraceLog(TRACE_DEBUG, kPrint, "Ticket Donation en TOR1 non present TMIC = %d", tmic);
    return false;
}

int ReorderCharityTicket(char* text, const KT_TEXT_WINDOW* window, int size) {
    if (text == nullptr || window == nullptr || size <= 0) return -1;
    const std::string original(text, strnlen(text, static_cast<size_t>(size)));
    const std::string marker = MarkerOf(window);
    const std::vector<size_t> at = MarkerPositions(original, marker);
    if (at.size() < 3) return -1;
    const size_t l = marker.size();
    const size_t room = static_cast<size_t>(size) - 1;
    const std::string pieces[] = {original.substr(0, at[0]), TicketLineEnd(window),
                                  original.substr(at[1] + l, at[2] + l - (at[1] + l)),
                                  original.substr(at[0] + l, at[1] + l - (at[0] + l))};
    std::string out;
    for (const std::string& piece : pieces)
        if (out.size() + piece.size() <= room) out += piece;
    return CopyBack(text, out);
}

std::string SelectTicketCopies(const std::string& spool, const std::string& marker, int mode, int select) {
    std::string out;
    bool cutSeen = false, firstCopyOver = false;
    std::string recent;  // the last marker-length bytes since the last cut
    for (const char byte : spool) {
        const bool write = (select != 0 || cutSeen) && (select != 1 || !cutSeen) && (mode != 2 || firstCopyOver);
        if (write) out += byte;
        if (marker.empty()) continue;
        recent += byte;
        if (recent.size() > marker.size()) recent.erase(0, 1);
        if (recent.size() == marker.size() && strncasecmp(recent.data(), marker.data(), marker.size()) == 0) {
            recent.clear();
            if (!cutSeen) {
                cutSeen = true;
                if (mode == 1) break;
                firstCopyOver = true;
            }
        }
    }
    return out;
}

void SpoolServerTicket() {
    EFTCBox* c = GetEftContext();
    TransactionRecord* r = GetTransactionRecord();
    if (c == nullptr || r == nullptr) return;
    // 1. Printing inhibited: the ticket goes nowhere.
    if ((Options.PosGuiOptions & 0x8000) != 0) {
        TraceLog(TRACE_INFO, kTicket, "Edition inhibee");
        RemoveAnswerTicket(c);
        return;
    }
    // 2. Some card kinds always print every copy.
    if (TAG_InitRead(c->serverAnswer, sizeof c->serverAnswer, 0) == 1) {
        char d1s[64] = "";
        if (TAG_Get("D1S", d1s, sizeof d1s, 1) == 1 && std::strlen(d1s) > 3 && (d1s[3] == '5' || d1s[3] == '8'))
            Options.PosTicketMode |= 2;
    }
    // 3. The ticket file starts empty.
    KTXCH_SetLocalRoot(".");
    std::string ticketPath;
    const bool ticketNamed = TicketFilePath(r->station, &ticketPath);
    if (ticketNamed) std::remove(ticketPath.c_str());

    KT_TEXT_WINDOW* window = KTS_GetWindow(c->box, "F5");
    const int tt = c->ticketTag;
    // 4. The server's ticket into the printer window's spool.
    {
        std::string text;
        int length = -1;
        const bool read = AnswerTicket(c, &text, &length);
        if (length > 0 && (tt == 1 || tt == 3)) {
            if (window == nullptr) {
                TraceLog(TRACE_ERROR, kTicket, "Spooler inconnu");
                return;
            }
            if (!read) {
                TraceLog(TRACE_ERROR, kTicket, "Extraction du ticket de la reponse recue du serveur echouee");
                return;
            }
            if (CleanTicketOn()) text = CleanTicketText(window, text);
            if (TWI_OpenSpool(window, 0) != 1) {
                TraceLog(TRACE_ERROR, kTicket, "Ouverture du spooler echouee");
                return;
            }
            const bool written = WriteDurably(window->spoolFile, text);
            TWI_CloseSpool(window);
            if (!written) {
                TraceLog(TRACE_ERROR, kTicket, "Ouverture du spooler echouee");
                return;
            }
            RemoveAnswerTicket(c);
        }
    }
    // 5. A spooled ticket: its copies go to the ticket file.
    if (window == nullptr || window->spoolPath[0] == '\0' || !FileHasBytes(window->spoolPath) ||
        Options.PosTicketMode == 0) {
        CleanAnswerTicket(c, window);
        return;
    }
    const int tmic = AnswerInt(c, "TMIC");
    std::string spool;
    bool moved = false;
    if (CleanTicketOn()) {
        if (!ReadWholeFile(window->spoolPath, &spool)) {
            TraceLog(TRACE_ERROR, kTicket, "Ouverture du spooler echouee");
            return;
        }
        spool = CleanTicketText(window, spool);
        moved = ReorderMisplacedCharity(window, tmic, &spool);
        if (!RewriteFile(window->spoolPath, spool)) {
            TraceLog(TRACE_ERROR, kTicket, "Ouverture du spooler echouee");
            return;
        }
    }
    if (!ReadWholeFile(window->spoolPath, &spool)) {
        TraceLog(TRACE_ERROR, kTicket, "Ouverture du spooler echouee");
        return;
    }
    if (!moved && ReorderMisplacedCharity(window, tmic, &spool)) {
        if (!RewriteFile(window->spoolPath, spool)) {
            TraceLog(TRACE_ERROR, kTicket, "Ouverture du spooler echouee");
            return;
        }
    }
    const int copies = CountCutMarkers(spool.c_str(), window);
    if (!ticketNamed) {
        TraceLog(TRACE_ERROR, kTicket, "Ouverture du TICKETCB.XXX echouee");
        return;
    }
    FILE* ticket = plat::OpenPrivateFile(ticketPath.c_str(), true);
    if (ticket == nullptr) {
        TraceLog(TRACE_ERROR, kTicket, "Ouverture du TICKETCB.XXX echouee");
        return;
    }
    int select = -1;
    if (copies > 1 && strcasecmp(r->command, "c4") == 0) {
        if (std::strcmp(r->d8y, "0") == 0) {
            select = 0;
            TraceLog(TRACE_INFO, kPrint, "Ticket Commercant uniquement");
        } else if (std::strcmp(r->d8y, "1") == 0) {
            select = 1;
            TraceLog(TRACE_INFO, kPrint, "Ticket Client uniquement");
        }
    }
    const std::string deposit = SelectTicketCopies(spool, MarkerOf(window), Options.PosTicketMode, select);
    TraceLog(TRACE_INFO, kPrint, "TicketCB.XXX a deposer");
    const bool deposited = WriteDurably(ticket, deposit);
    std::fclose(ticket);
    if (!deposited) {
        TraceLog(TRACE_ERROR, kTicket, "Ouverture du TICKETCB.XXX echouee");
        return;
    }
    TraceLog(TRACE_INFO, kPrint, "TicketCB.XXX depose");
    // 6. The cash register asked for the ticket back.
    if (tt == 1 || tt == 2) {
        std::string back;
        if (!ReadWholeFile(ticketPath.c_str(), &back) || !BindAnswer(c) || TAG_AppendValue("D3L", back.c_str()) != 1)
            TraceLog(TRACE_ERROR, kTicket, "Ticket non rendu: il ne tient pas dans la reponse");
    }
    std::remove(window->spoolPath);
    if (KTS_GetWindow(c->box, "E6") == nullptr) return;
    const bool doran = IsDoranPrinter(c);
    if (doran) {
        if (EPAP_SendControl(0, "4018") != 0) return;
        WSleep(50);
        EPAP_RebindLink(1, 0);
        EPAP_RebindLink(1, 4);
    }
    if ((Options.Automatic & 2) != 0) PrintTicket();
    if (doran) {
        EPAP_RebindLink(0, 0);
        EPAP_RebindLink(4, 4);
    }
}
