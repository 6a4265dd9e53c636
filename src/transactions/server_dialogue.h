// Server dialogue of a transaction, as far as the maintenance state needs it:
// the connection with its fall-back to the degraded server, the answer wait
// that keeps the cash register and the server link served, and the answer
// check.
//
// Least behaviour where a terminal is concerned: no card is read, so card
// removal is never watched.
#pragma once

// The ticket of a server answer (SpoolServerTicket).
#include "transactions/ticket_spool.h"

struct EFTCBox;
struct TransactionRecord;

// Connects the current resource's servers (principal, backup, tertiary;
// then the degraded one with OfflineModeWithSZEL). 0 connected (or already),
// 33 otherwise; the connection state becomes 1, 2 (failed) or 3 (abandoned).
// A non-zero argument shows the LAN wait text on "P5".
int ConnectServer(int showWait);
// Waits for the server's answer, one POS poll and one server exchange per
// pass: the exchange code (20 or more) of a consistent answer; 0 the link was
// lost and another server remains; -1 other error (RS "99"); -2 aborted; -3
// inconsistent answer (RS "37"); -4 time exceeded (RS "30"); -5 link lost with
// no other server (RS "31"); -6 POS link failure (RS "38").
int DealServer();
// The return-to-line request of a summary: SV "s2", CD "rtl", PS and the
// island label D7V in the cleared server request. 0 written, -1 otherwise.
int BuildRtlRequest();
// The upload of stored offline transactions after an online exchange; the
// offline uploader is not built yet: nothing is done.
void UploadOfflineAfterExchange();
// Sends the queued end-of-transaction requests in order (each with PS and
// SS "R", its SV and CD taken into the record, connecting when needed; a
// request whose connection fails is skipped), keeping the POS answer; then
// empties the queue. The number of requests answered.
int SendEndOfTransactionRequests();
// The cancellation sent after a ticket problem: connects when needed, sends
// "s0"/"c9" built from the POS answer (D16, D17, D0, D10, E7) with the
// island label, and puts the POS answer back; its RS becomes "11" only when
// DealServer gave an answer (20 or more) whose RS is below 10. 1 when the
// payment was cancelled, else 0.
int RunTicketProblemCancellation(const char* islandLabel);
