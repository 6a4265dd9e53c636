// Script tables of the interface engine (128 command rows and 128 answer
// rows of 148 bytes in the SAP box), the command encoders and the reading of
// one result. A row: status byte, "_%03d_%04x_" (resource number, command
// type), then the payload (at most 137 bytes) beginning with its own total
// length in four hexadecimal digits and a NUL. The answer row of the same
// index is prepared with each command ("%c_%03d_%04x_%04x", '1', ..., 0) and
// the answer payload later overwrites it from byte 11. Main thread only.
#pragma once
#include "periph/interface_box.h"

// Process-wide state of the engine besides the box (reset with the box).
struct SapEngineState {
    KT_PIRES* current;  // resource of the ISAP_ call in progress
    int searchPosition;
    int commandCount;
    int answerCount;
    int commandRow;
    int answerRow;  // AnswerRaw
};
SapEngineState& TWIP_State();
void TWIP_ResetState();

// Header of a row: false when the row does not hold one (status not followed
// by '_', or digits missing). length is the payload's own total (the four
// hexadecimal digits after the header), 0 for a prepared answer row.
struct SapRowHeader {
    char status;
    int function;
    int command;
    int length;
};
bool TWIP_ReadRowHeader(const char* row, SapRowHeader* header);

// 'C'/'c' the commands, 'A'/'a' the answers: 1; -1 no box; -2 other letter.
int TWIP_ClearScript(KT_IPERIPH_API* box, char which);
// Stores a command for the resource (clear 1 clears both tables first): the
// new command count; -1 null arguments or a bad length; -3 table full or a
// payload over 137 bytes (last command status 1); -4 not a resource of the
// box.
int TWIP_SetCommandScriptMes(KT_IPERIPH_API* box, KT_PIRES* resource, int clear, int length, const void* payload);
// The lowest row '1', marked '2' (it becomes the current command and answer
// row): its payload, or null. last is 1 for a SELEC, for row 127 or when no
// later row is '1'.
const char* TWIP_GetCommandScriptMes(KT_IPERIPH_API* box, int* length, int* function, int* command, int* last);
// Stores an answer into the current answer row: the new answer count; -1 the
// row is out of range or not expecting one; -3 a payload over 137 bytes
// (last command status 1).
int TWIP_SetAnswerScriptMes(KT_IPERIPH_API* box, int length, const void* payload);
// Host side: the lowest sent command row of the resource's number and type
// becomes '3' and the current answer row: 1, or -2 none.
int TWIP_MarkCommandAnswered(KT_IPERIPH_API* box, const KT_PIRES* resource);
// Host side: the lowest answer row still '1' (it becomes the current one).
const char* TWIP_GetRemoteAnswerScriptMes(KT_IPERIPH_API* box, int* length, int* function, int* command,
                                          int* last);
// Client side: the lowest answer row '3', marked '2'.
const char* TWIP_GetClientAnswerScriptMes(KT_IPERIPH_API* box, int* length, int* function, int* command,
                                          int* last);
// 2 the resource's first expected-or-stored answer row is stored, 1 it is
// still expected, 0 none (rows of the resource's command type unless 0).
int TWIP_CheckFunAnswer(KT_IPERIPH_API* box, const KT_PIRES* resource);
// The lowest stored answer row of the resource's number and type, marked
// '4'; last is 1 for row 127 or when no later stored row of the same number
// and type follows.
const char* TWIP_GetFunAnswerSriptMes(KT_IPERIPH_API* box, const KT_PIRES* resource, int* length, int* last);
// 1 no row is '1', 0 one is; -1 no box.
int TWIP_IsAllScriptSent(KT_IPERIPH_API* box);
int TWIP_IsAllScriptReceived(KT_IPERIPH_API* box);
void TWIP_IncAnswerCount();

// Encoders: store the rows of one command for the resource's window;
// SAP_GenStat, or 1 (last command status 1) without console or window.
int TWIP_SetDISPLAY(KT_IPERIPH_API* box, KT_PIRES* resource);
int TWIP_SetTOUCH(KT_IPERIPH_API* box, KT_PIRES* resource, int wait, int flush);
int TWIP_SetDATUM(KT_IPERIPH_API* box, KT_PIRES* resource, int row, int column, int width, const char* field,
                  const char* format);
int TWIP_SetSELEC(KT_IPERIPH_API* box, KT_PIRES* resource, int count, int itemWidth, int firstShown,
                  const char* title, const char* items, int option);
// Reads the resource's answer into its result fields: SAP_GenStat (unchanged
// while the answer is still expected: result status 64), 1 when none.
int TWIP_GetOneResult(KT_IPERIPH_API* box, KT_PIRES* resource);
