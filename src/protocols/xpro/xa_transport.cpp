// XA link over the port API: frames on the line, the dialogue steps (open,
// send, receive, closes, pauses) and the link callbacks of protocol 2.
#include <cstdlib>
#include <cstring>

#include "comm/message_box.h"
#include "comm/port_api.h"
#include "comm/port_frames.h"
#include "core/helpers.h"
#include "core/trace.h"
#include "platform/clock.h"
#include "protocols/module_contract.h"
#include "protocols/xpro/xa_link.h"
#include "protocols/xpro/xpro_dle.h"

namespace {

constexpr int kControlRoom = 128;
// Reception of a control frame: XOR from 0xFF, ended by ETX, EOT or ETB.
constexpr int kControlReception = PORT_METHOD_XOR_FF | (PORT_END_ETX << 4);
// Fields a control frame of each kind carries at least.
constexpr int kEnqFields = 5;
constexpr int kEotFields = 7;
constexpr int kShortFields = 3;
constexpr int kMaxFields = 8;

bool IsFactory(const KT_XPROT* ctx) { return std::strcmp(ctx->application, XA_FACTORY_APPLICATION) == 0; }

bool SameExchange(int a, int b) { return (a & 0xFF) == (b & 0xFF); }

// The terminal's direction value and exchange number are the host's.
bool TerminalMatchesHost(const KT_XPROT* ctx) {
    return ctx->party[1].direction == ctx->party[0].direction &&
           SameExchange(ctx->party[1].exchangeNumber, ctx->party[0].exchangeNumber);
}

int PadSetupFlag() {
    const XaHooks& hooks = XA_Hooks();
    return hooks.padSetupFlag != nullptr ? hooks.padSetupFlag() : 0;
}

// A control frame of the host's block: 1 sent, 0 failed (the port's letter
// as the step letter).
int SendControl(KT_XPROT* ctx, unsigned char control) {
    unsigned char fields[kControlRoom];
    const int n = XA_ControlFields(ctx, control, fields, sizeof fields);
    if (n < 0) {
        ctx->stepLetter = 'S';
        return 0;
    }
    ctx->frameKind = XA_KIND_CONTROL;
    int result = PORT_DONE;
    if (PadSetupFlag() == 1) {
        // The pad takes the control character alone, the rest a moment later.
        result = PortTxCar(ctx->port, control, PORT_TX_NEW_SEND);
        if (result == PORT_DONE) {
            plat::SleepMs(XA_PAD_SPLIT_MS);
            result = PortEmist(ctx->port, fields, static_cast<uint32_t>(n), PORT_METHOD_XOR_FF);
        }
    } else {
        result = PortTxCar(ctx->port, control, PORT_TX_NEW);
        if (result == PORT_DONE)
            result = PortEmist(ctx->port, fields, static_cast<uint32_t>(n), PORT_METHOD_XOR_FF | PORT_METHOD_APPEND);
    }
    std::memset(fields, 0, sizeof fields);
    if (result != PORT_DONE) {
        ctx->stepLetter = result;
        return 0;
    }
    return 1;
}

void CopyLabel(char* label, const char* text) {
    std::memset(label, 0, XPRO_LABEL_MAX + 1);
    if (std::strlen(text) <= static_cast<size_t>(XPRO_LABEL_MAX)) std::memcpy(label, text, std::strlen(text));
}

// The fields of the control frame in receiveFrame (its character, the
// fields, ETX) into the terminal's block: false when the frame lacks the
// fields of its kind or does not end with ETX.
bool TakeControlFields(KT_XPROT* ctx, int length) {
    const unsigned char* frame = ctx->receiveFrame;
    if (length < 2 || frame[length - 1] != XA_ETX) return false;
    const char* fields[kMaxFields] = {};
    int count = 0;
    int start = 1;
    for (int i = 1; i < length - 1 && count < kMaxFields; ++i) {
        if (frame[i] != 0) continue;
        fields[count++] = reinterpret_cast<const char*>(frame + start);
        start = i + 1;
    }
    // Text after the last NUL is not a field (an unended one).
    if (start != length - 1 && count < kMaxFields) return false;
    const unsigned char control = frame[0];
    const int needed = control == XA_ENQ ? kEnqFields : control == XA_EOT ? kEotFields : kShortFields;
    if (count < needed) return false;
    KT_XPARTY& terminal = ctx->party[1];
    terminal.direction = std::atoi(fields[0]);
    terminal.exchangeNumber = std::atoi(fields[1]) % 256;
    XPRO_SetLinkName(ctx, fields[2]);
    if (control == XA_ENQ) {
        XPRO_SetApplication(ctx, fields[3]);
        ctx->keyIndex = std::atoi(fields[4]);
    } else if (control == XA_EOT) {
        XPRO_SetApplication(ctx, fields[3]);
        CopyLabel(terminal.kerStat, fields[4]);
        CopyLabel(terminal.appStat, fields[5]);
        terminal.accStat = std::atoi(fields[6]);
    } else if (control == XA_ACK) {
        // The terminal's flags ride on one more field; without it the final
        // frame is no longer acknowledged.
        if (count > kShortFields)
            ctx->flags = static_cast<unsigned char>(fields[3][0]);
        else
            ctx->flags &= ~XA_FLAG_ACK_LAST;
    }
    return true;
}

int ReceiveControl(KT_XPROT* ctx, unsigned char control, int timeout, int* length) {
    ctx->frameKind = XA_KIND_CONTROL;
    ctx->receiveFrame[0] = control;
    uint32_t got = XPRO_FRAME_SIZE - 2;
    const int result = PortRecest(ctx->port, ctx->receiveFrame + 1, &got, kControlReception, static_cast<uint32_t>(timeout));
    *length = static_cast<int>(got) + 1;
    ctx->stepLetter = result;
    if (result != PORT_DONE) return -1;
    if (!TakeControlFields(ctx, *length)) {
        ctx->stepLetter = 'S';
        return -1;
    }
    return 1;
}

int ReceiveData(KT_XPROT* ctx, bool factory, int timeout, int* length) {
    ctx->frameKind = factory ? XA_KIND_FACTORY : XA_KIND_DATA;
    XaDataFrameReader reader(factory);
    while (reader.state() == XaDataFrameReader::State::Reading) {
        unsigned char b = 0;
        const int r = PortRxCar(ctx->port, &b, timeout);
        reader.feed(r == PORT_DONE ? b : r == PORT_TIMEOUT ? XaDataFrameReader::kTimeout : XaDataFrameReader::kReadError);
    }
    ctx->stepLetter = reader.letter();
    if (reader.state() == XaDataFrameReader::State::Failed) return -1;
    std::memcpy(ctx->receiveFrame, reader.bytes(), static_cast<size_t>(reader.length()));
    *length = reader.length();
    if (factory) return 3;
    // The frame is acknowledged at once as the flags ask.
    if ((!reader.last() && (ctx->flags & XA_FLAG_ACK_EACH) != 0) ||
        (reader.last() && (ctx->flags & XA_FLAG_ACK_LAST) != 0))
        PortTxCar(ctx->port, XA_ACK, PORT_TX_NEW_SEND);
    return 2;
}

// Nothing received.
int Nothing(KT_XPROT* ctx) {
    if (ctx->phase == XPRO_PHASE_SENDING) ctx->flags &= ~XA_FLAG_ACK_EACH;
    ctx->stepLetter = 'T';
    return 0;
}

// A step that failed with no letter of its own takes 'B'.
void FailStep(KT_XPROT* ctx) {
    if (XPRO_StepLabel(ctx->stepLetter) == nullptr) ctx->stepLetter = 'B';
}

// The data frame in receiveFrame, by the sequence rule: 1 accepted (the
// host's counter moves on), 0 ignored (another side, another exchange, or
// the last frame again), -2 out of sequence ('B'), -1 not a frame ('S').
int ParseData(KT_XPROT* ctx, int length, XaDataFrame* f) {
    if (XA_ParseDataFrame(ctx->receiveFrame, length, f) != 1) {
        ctx->stepLetter = 'S';
        return -1;
    }
    if (f->side != 2) {
        ctx->stepLetter = 'H';
        return 0;
    }
    ctx->sequence2 = f->sequence;
    ctx->party[1].exchangeNumber = f->exchange;
    if (!SameExchange(f->exchange, ctx->party[0].exchangeNumber)) return 0;
    if ((f->header & 0x40) != 0)
        ctx->flags |= XA_FLAG_ACK_EACH;
    else
        ctx->flags &= ~XA_FLAG_ACK_EACH;
    if (f->sequence == ctx->sequence1) {
        ctx->sequence1 = static_cast<uint8_t>(ctx->sequence1 + 1);
        return 1;
    }
    if (f->sequence == static_cast<uint8_t>(ctx->sequence1 - 1)) return 0;
    ctx->stepLetter = 'B';
    return -2;
}

// Opens a dialogue (ENQ, up to four tries): 1 open, -2 refused or failed,
// -3 no answer after the tries. The phase becomes 13 (14 to receive) or 10.
int OpenDialogue(KT_XPROT* ctx, bool receive) {
    if (ctx->side != 1) return -2;
    ctx->phase = receive ? XPRO_PHASE_OPENING_RECEIVE : XPRO_PHASE_OPENING_SEND;
    ctx->party[0].direction = ctx->mode + (receive ? 1 : 0);
    if (ctx->party[0].exchangeNumber < 0) ctx->party[0].exchangeNumber = 1;
    ctx->sequence1 = 0;
    int result = -3;
    for (int attempt = 0; attempt < XA_TRIES; ++attempt) {
        if (SendControl(ctx, XA_ENQ) == 0) {
            FailStep(ctx);
            result = -2;
            break;
        }
        int length = 0;
        const int r = XA_ReceiveFrame(ctx, &length);
        if (r == 0) continue;
        if (r == 1) {
            const unsigned char c = ctx->receiveFrame[0];
            if (c == XA_NAK) continue;
            if (c == XA_ACK && SameExchange(ctx->party[1].exchangeNumber, ctx->party[0].exchangeNumber)) {
                result = 1;
                break;
            }
        } else if (r == -1 && ctx->frameKind == XA_KIND_NONE) {
            continue;  // bytes that started no frame cost a try
        }
        FailStep(ctx);
        result = -2;
        break;
    }
    ctx->phase = result == 1 ? (receive ? XPRO_PHASE_RECEIVING : XPRO_PHASE_SENDING) : XPRO_PHASE_IDLE;
    return result;
}

// Closes as initiator (EOT, up to four tries): 1, -2 the EOT could not go,
// -3 no close after the tries.
int CloseAsInitiator(KT_XPROT* ctx) {
    ctx->phase = XPRO_PHASE_CLOSING_INITIATOR;
    int result = -3;
    for (int attempt = 0; attempt < XA_TRIES; ++attempt) {
        if (SendControl(ctx, XA_EOT) == 0) {
            ctx->stepLetter = 'B';
            result = -2;
            break;
        }
        int length = 0;
        const int r = XA_ReceiveFrame(ctx, &length);
        if (r == 0 || (r == 1 && ctx->receiveFrame[0] == XA_EOT)) {
            result = 1;
            break;
        }
    }
    ctx->phase = XPRO_PHASE_IDLE;
    return result;
}

// Closes as responder: the terminal's EOT (waited for, or already in hand)
// is answered with the host's. 1 when the terminal's direction and exchange
// are the host's, -1 when not or on a bad frame, -2 silence or another frame.
int CloseAsResponder(KT_XPROT* ctx, bool eotInHand) {
    ctx->phase = XPRO_PHASE_CLOSING_RESPONDER;
    int result = 0;
    if (!eotInHand) {
        int length = 0;
        const int r = XA_ReceiveFrame(ctx, &length);
        if (r == 0) {
            result = -2;
        } else if (r < 0) {
            result = -1;
        } else if (r != 1 || ctx->receiveFrame[0] != XA_EOT) {
            ctx->stepLetter = 'B';
            result = -2;
        }
    }
    if (result == 0) {
        SendControl(ctx, XA_EOT);
        result = TerminalMatchesHost(ctx) ? 1 : -1;
    }
    ctx->phase = XPRO_PHASE_IDLE;
    return result;
}

void ForceClose(KT_XPROT* ctx) {
    ctx->stepLetter = 'B';
    XA_SetStepName(ctx);
    XA_SendEot(ctx);
}

// One data frame of the host, up to four sends: 2 the last frame went, 1 a
// frame went, 3 the terminal answered EOT, 4 the terminal paused (SYN), -1
// the frame could not go, -2 a data frame came instead, -3 no send went.
int SendDataStep(KT_XPROT* ctx, const unsigned char* body, int length, bool last) {
    const int n = XA_BuildDataFrame(1, ctx->sequence1, static_cast<uint8_t>(ctx->party[0].exchangeNumber), 'P', body,
                                    length, last, ctx->sendFrame, XPRO_FRAME_SIZE);
    if (n < 0) {
        ctx->stepLetter = 'F';
        return -1;
    }
    for (int attempt = 0; attempt < XA_TRIES; ++attempt) {
        if (XA_SendFrame(ctx, ctx->sendFrame, n, XA_KIND_DATA) != 2) return -1;
        ctx->expectBareAck = !last || (ctx->flags & XA_FLAG_ACK_LAST) != 0 ? 1 : 0;
        int got = 0;
        const int r = XA_ReceiveFrame(ctx, &got);
        if (r == 0) {
            // Silence, or the bare ACK: delivered.
            ctx->sequence1 = static_cast<uint8_t>(ctx->sequence1 + 1);
            return last ? 2 : 1;
        }
        if (r == 1 && ctx->receiveFrame[0] == XA_EOT) return 3;
        if (r == 1 && ctx->receiveFrame[0] == XA_SYN) {
            ctx->sequence1 = static_cast<uint8_t>(ctx->sequence1 + 1);
            return 4;
        }
        if (r == 2 || r == 3) return -2;
    }
    return -3;
}

// One data frame of the terminal, up to four tries: 2 the last frame, 1 a
// frame (its body into the buffer), 3 the terminal closed (EOT), -2 silence,
// another control frame, a frame out of sequence or the tries used up.
int ReceiveDataStep(KT_XPROT* ctx, unsigned char* buffer, int capacity, int* length) {
    int tries = 0;
    while (tries < XA_TRIES) {
        int got = 0;
        const int r = XA_ReceiveFrame(ctx, &got);
        if (r == 0) return -2;
        if (r == 1) return ctx->receiveFrame[0] == XA_EOT ? 3 : -2;
        XaDataFrame f{};
        const int parsed = r == 2 ? ParseData(ctx, got, &f) : -1;
        if (parsed == 1) {
            if (f.bodyLength > capacity) {
                ctx->stepLetter = 'F';
                return -2;
            }
            std::memcpy(buffer, f.body, static_cast<size_t>(f.bodyLength));
            *length = f.bodyLength;
            std::memset(ctx->receiveFrame, 0, sizeof ctx->receiveFrame);
            if (!f.last) return 1;
            // The final body goes to the card-data capture as it came.
            const XaHooks& hooks = XA_Hooks();
            if (hooks.captureCardData != nullptr) hooks.captureCardData(buffer, *length);
            return 2;
        }
        if (parsed == -2) return -2;
        // A repeated frame costs two tries, a bad one one; either is NAKed.
        tries += parsed == 0 ? 2 : 1;
        std::memset(ctx->receiveFrame, 0, sizeof ctx->receiveFrame);
        SendControl(ctx, XA_NAK);
    }
    return -2;
}

// Waits for the terminal to resume (BEL) after it paused the host: 1, -2 on
// another frame, -3 when the steps ran out.
int WaitForBel(KT_XPROT* ctx, int count) {
    ctx->phase = XPRO_PHASE_WAITING_BEL;
    int steps = count;
    while (steps-- > 0) {
        int length = 0;
        const int r = XA_ReceiveFrame(ctx, &length);
        if (r == 0) {
            plat::SleepMs(XA_BEL_STEP_MS);
            continue;
        }
        if (r == 1 && ctx->receiveFrame[0] == XA_BEL) return 1;
        if (r == 1 && ctx->receiveFrame[0] == XA_SYN) {
            steps = XA_BEL_STEPS * count;
            continue;
        }
        return -2;
    }
    return -3;
}

// The end of a send or a receive: a failure closes the dialogue; a result
// of a dialogue whose terminal speaks for this host must match the exchange
// status.
int Finish(KT_XPROT* ctx, int result, bool sending, int length, int last) {
    if (result < 0) {
        if (result == -2) ForceClose(ctx);
        ctx->phase = XPRO_PHASE_IDLE;
        XA_SetStepName(ctx);
        return result;
    }
    if (TerminalMatchesHost(ctx)) {
        const int status = ctx->status;
        if (sending) {
            if (status == 1 && last == 0) result = 1;
            else if (status == 2 && last != 0) result = 2;
            else if (status == 0 && length == 0) result = 2;
            else result = -1;
        } else {
            result = status == 0 || status == 2 ? 2 : status == 1 ? 1 : -1;
        }
        if (result == -1) {
            ctx->stepLetter = 'B';
            ctx->phase = XPRO_PHASE_IDLE;
        }
    }
    XA_SetStepName(ctx);
    return result;
}

// The busy text for the caller, when its room holds it.
void PutBusyText(unsigned char* buffer, int capacity, int* length) {
    *length = 0;
    if (capacity < PAP_RELAY_BUSY_LENGTH) {
        WSysError("-- ERROR -- XA_ReceiveMessage : refus du terminal, place insuffisante (%d octets)", capacity);
        return;
    }
    std::memcpy(buffer, PAP_RELAY_BUSY_TEXT, PAP_RELAY_BUSY_LENGTH);
    *length = PAP_RELAY_BUSY_LENGTH;
}

}  // namespace

void XA_PutBusyText(unsigned char* buffer, int capacity, int* length) { PutBusyText(buffer, capacity, length); }

int XA_SendFrame(KT_XPROT* ctx, const unsigned char* frame, int length, int kind) {
    if (ctx == nullptr) return 0;
    ctx->frameKind = kind;
    const int refused = XA_CheckFrame(frame, length);
    if (refused != 0) {
        ctx->stepLetter = refused;
        return 0;
    }
    for (int i = 0; i < length; ++i) {
        const int mode = i == 0 ? PORT_TX_NEW : i == length - 1 ? PORT_TX_APPEND_SEND : PORT_TX_APPEND;
        if (PortTxCar(ctx->port, frame[i], mode) != PORT_DONE) {
            ctx->stepLetter = 'E';
            return 0;
        }
    }
    ctx->stepLetter = frame[length - 2] == XA_ETX ? 'L' : 0;
    return kind == XA_KIND_FACTORY ? 3 : 2;
}

int XA_ReceiveFrame(KT_XPROT* ctx, int* length) {
    int ignored = 0;
    if (length == nullptr) length = &ignored;
    *length = 0;
    if (ctx == nullptr) return -1;
    ctx->frameKind = XA_KIND_NONE;
    ctx->stepLetter = 'T';
    std::memset(ctx->receiveFrame, 0, sizeof ctx->receiveFrame);
    const bool bareAckExpected = ctx->expectBareAck != 0;
    ctx->expectBareAck = 0;
    const int timeout = XA_ByteTimeout(ctx);
    ctx->byteTimeout = timeout;
    bool dle = false;
    for (int skipped = 0; skipped < XA_START_SEARCH; ++skipped) {
        unsigned char b = 0;
        const int r = PortRxCar(ctx->port, &b, timeout);
        if (r == PORT_TIMEOUT) return Nothing(ctx);
        if (r != PORT_DONE) {
            dle = false;
            continue;
        }
        if (dle && b == XA_STX) return ReceiveData(ctx, IsFactory(ctx), timeout, length);
        dle = b == XA_DLE;
        switch (b) {
            case XA_EOT:
            case XA_ENQ:
            case XA_BEL:
            case XA_NAK:
            case XA_SYN: return ReceiveControl(ctx, b, timeout, length);
            case XA_ACK:
                if (!bareAckExpected) return ReceiveControl(ctx, b, timeout, length);
                ctx->flags |= XA_FLAG_ACK_EACH;
                ctx->stepLetter = 0;
                return 0;
            default: break;
        }
    }
    ctx->stepLetter = 'S';
    return -1;
}

KT_XPROT* Host_NewXProt(int mode, const char* application, const char* linkName, int keyIndex, int port) {
    KT_XPROT* ctx = XPRO_NewXProt(mode, application, linkName, port);
    if (ctx == nullptr) {
        WSysError("-- ERROR -- Host_NewXProt : echec Allocation structure");
        return nullptr;
    }
    ctx->keyIndex = keyIndex;
    ctx->flags = XA_FLAG_ACK_EACH;
    ctx->expectBareAck = 0;
    return ctx;
}

int XA_SendEot(KT_XPROT* ctx) { return ctx != nullptr ? SendControl(ctx, XA_EOT) : 0; }

int XA_SendMessage(KT_XPROT* ctx, const unsigned char* body, int length, int last) {
    if (ctx == nullptr || length < 0 || (length > 0 && body == nullptr)) return -1;
    ctx->status = -1;
    ctx->stepLetter = 0;
    int result = 0;
    bool open = false;
    if (ctx->phase == XPRO_PHASE_SENDING) {
        open = true;
    } else {
        if (ctx->phase != XPRO_PHASE_IDLE) {
            ForceClose(ctx);
            ctx->phase = XPRO_PHASE_IDLE;
        }
        open = OpenDialogue(ctx, false) == 1;
    }
    if (!open) {
        result = CloseAsResponder(ctx, false);
    } else if (length == 0) {
        ctx->status = 0;
        result = CloseAsResponder(ctx, false);
    } else {
        ctx->phase = XPRO_PHASE_SENDING;
        const int sent = SendDataStep(ctx, body, length, last != 0);
        switch (sent) {
            case 1:
                ctx->status = 1;
                result = 1;
                break;
            case 2:
                ctx->status = 2;
                if ((ctx->flags & XA_FLAG_ACK_LAST) != 0) {
                    ctx->phase = XPRO_PHASE_IDLE;
                    XA_SetStepName(ctx);
                    return 2;
                }
                result = CloseAsResponder(ctx, false);
                break;
            case 3:
                ctx->phase = XPRO_PHASE_IDLE;
                ctx->status = 0;
                result = -1;
                if (last != 0) {
                    ctx->status = 2;
                    result = CloseAsResponder(ctx, true);
                }
                break;
            case 4:
                if (last == 0) {
                    if (WaitForBel(ctx, XA_BEL_STEPS) == 1) {
                        ctx->phase = XPRO_PHASE_SENDING;
                        ctx->status = 1;
                        result = 1;
                    } else {
                        result = -2;
                    }
                } else {
                    ctx->stepLetter = 'B';
                    CloseAsResponder(ctx, false);
                    result = -2;
                }
                break;
            default:
                FailStep(ctx);
                CloseAsResponder(ctx, false);
                result = -2;
                break;
        }
    }
    return Finish(ctx, result, true, length, last);
}

int XA_ReceiveMessage(KT_XPROT* ctx, unsigned char* buffer, int capacity, int* length, int flag) {
    int ignored = 0;
    if (length == nullptr) length = &ignored;
    *length = 0;
    if (ctx == nullptr || buffer == nullptr) return -1;
    ctx->status = -1;
    ctx->stepLetter = 0;
    int result = 1;
    if (ctx->phase == XPRO_PHASE_PAUSED) {
        SendControl(ctx, XA_BEL);
        ctx->phase = XPRO_PHASE_RECEIVING;
    } else if (ctx->phase != XPRO_PHASE_RECEIVING) {
        if (ctx->phase != XPRO_PHASE_IDLE) {
            ForceClose(ctx);
            ctx->phase = XPRO_PHASE_IDLE;
        }
        result = OpenDialogue(ctx, true);
    }
    if (result == 1) {
        ctx->phase = XPRO_PHASE_RECEIVING;
        const int got = ReceiveDataStep(ctx, buffer, capacity, length);
        switch (got) {
            case 1:
                ctx->status = 1;
                if (flag != 0) {
                    ctx->phase = XPRO_PHASE_PAUSED;
                    SendControl(ctx, XA_SYN);
                }
                result = 1;
                break;
            case 2:
                ctx->status = 2;
                if ((ctx->flags & XA_FLAG_ACK_LAST) != 0) {
                    ctx->phase = XPRO_PHASE_IDLE;
                    XA_SetStepName(ctx);
                    return 2;
                }
                result = CloseAsInitiator(ctx);
                break;
            case 3:
                // The terminal refused: its EOT is answered, and the caller
                // gets the busy text as the body.
                result = CloseAsResponder(ctx, true);
                ctx->status = 0;
                PutBusyText(buffer, capacity, length);
                ctx->phase = XPRO_PHASE_IDLE;
                break;
            default:
                if (ctx->stepLetter != 'T') ctx->stepLetter = 'B';
                result = -2;
                break;
        }
    }
    return Finish(ctx, result, false, *length, flag);
}

void* XA_LinkOpen(const char* description) {
    XPRO_FIELDS f;
    if (XPRO_SplitDescriptor(description, &f) != 1) {
        WSysError("-- ERROR -- XA_LinkOpen() : descripteur incorrect");
        return nullptr;
    }
    KT_XPROT* ctx = Host_NewXProt(std::atoi(f.field[0]), f.field[2], f.field[3], std::atoi(f.field[5]),
                                  std::atoi(f.field[4]));
    if (ctx == nullptr) return nullptr;
    XPRO_SetExchangeNumber(ctx, std::atoi(f.field[1]));
    XPRO_SetAppStat(ctx, f.field[7]);
    XPRO_SetKerStat(ctx, f.field[6]);
    XPRO_SetAccStat(ctx, std::atoi(f.field[8]));
    return ctx;
}

int XA_LinkSend(void* transport, void* frame, uint32_t length, int32_t, int32_t last) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || length > static_cast<uint32_t>(XA_FRAME_MAX)) return -1;
    // The script's message status says whether this message is the last.
    const int lastFrame = ctx->status >= 10 ? ctx->status - 10 : last;
    XPRO_ClearStepLabels(ctx);
    const auto* body = static_cast<const unsigned char*>(frame);
    const int n = static_cast<int>(length);
    const int result = IsFactory(ctx) ? H_FactoryRequest(ctx, body, n) : XA_SendMessage(ctx, body, n, lastFrame);
    return result >= 0 ? n : -1;
}

int XA_LinkReceive(void* transport, void* frame, uint32_t capacity, int32_t timeoutMs, int32_t flag) {
    auto* ctx = static_cast<KT_XPROT*>(transport);
    if (ctx == nullptr || frame == nullptr) return 0;
    const int receiveFlag = ctx->status >= 10 ? ctx->status - 10 : flag;
    XPRO_ClearStepLabels(ctx);
    auto* buffer = static_cast<unsigned char*>(frame);
    const int room = static_cast<int>(capacity > 0x7FFFFFFFu ? 0x7FFFFFFFu : capacity);
    const int64_t start = plat::MonotonicMs();
    for (;;) {
        int length = 0;
        const int result = IsFactory(ctx) ? HSomeThingFromFactory(ctx, buffer, room, &length)
                                          : XA_ReceiveMessage(ctx, buffer, room, &length, receiveFlag);
        if (result > 0) return length;
        // A time-out of 0 or less (the serial links have none) allows one
        // attempt: a mute terminal must not hold the program.
        if (timeoutMs <= 0 || plat::MonotonicMs() - start >= timeoutMs) return 0;
        plat::SleepMs(XA_RECEIVE_REPEAT_MS);
    }
}

int XA_LinkRequest(KTM_WPRO* block) {
    if (block == nullptr || block->TransBox == nullptr || block->request == nullptr) return -1;
    auto* ctx = static_cast<KT_XPROT*>(block->TransBox);
    KTM_HALF* request = block->request;
    const uint32_t length = request->mLength;
    // The body is measured doubled, with the frame around it, before
    // anything of the request is taken.
    uint32_t doubled = 0;
    if (length <= KTM_M_MAX)
        for (uint32_t i = 0; i < length; ++i) doubled += request->M[i] == XPRO_DLE ? 2 : 1;
    if (length > KTM_M_MAX || doubled + XA_DATA_OVERHEAD > static_cast<uint32_t>(XA_FRAME_MAX) ||
        doubled > KTM_FRAME_SIZE) {
        WSysError("-- ERROR -- XA_LinkRequest() : message trop long (%u octets, %u une fois les DLE doubles, max. %d)",
                  length, doubled, XA_FRAME_MAX - XA_DATA_OVERHEAD);
        return -1;
    }
    XPRO_FIELDS f;
    if (XPRO_SplitDescriptor(request->S, &f) != 1) {
        WSysError("-- ERROR -- XA_LinkRequest() : descripteur incorrect");
        return -1;
    }
    if (request->A[0] != '\0') {
        std::memset(ctx->netApplication, 0, sizeof ctx->netApplication);
        std::memcpy(ctx->netApplication, request->A, strnlen(request->A, XPRO_NET_APPLICATION_SIZE - 1));
    }
    XPRO_MapRequestFields(ctx, f);
    return XPRO_DoubleDLE(block->frame, request->M, static_cast<int>(length));
}

int XA_LinkStatus(KTM_WPRO* block) {
    if (block == nullptr || block->TransBox == nullptr || block->answer == nullptr) return -1;
    auto* ctx = static_cast<KT_XPROT*>(block->TransBox);
    KTM_HALF* answer = block->answer;
    const uint32_t length = answer->totalLength;
    if (length > KTM_M_MAX || length > KTM_FRAME_SIZE) {
        std::memset(answer->S, 0, sizeof answer->S);
        std::memset(answer->A, 0, sizeof answer->A);
        WSysError("-- ERROR -- XA_LinkStatus() : reponse trop longue (%u octets)", length);
        return -1;
    }
    std::memset(answer->A, 0, sizeof answer->A);
    std::memcpy(answer->A, ctx->netApplication, strnlen(ctx->netApplication, KTM_A_MAX));
    std::memset(answer->S, 0, sizeof answer->S);
    XPRO_WriteDescriptor(ctx, answer->S, static_cast<int>(sizeof answer->S));
    return XPRO_UndoubleDLE(answer->M, block->frame, static_cast<int>(length));
}
