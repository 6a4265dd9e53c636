// The vocabulary of the server dialogue of a transaction (the trace names of
// the server message types are station/server_exchange.h's): the terminal
// statuses turned into result codes,
// the direct-mode and cancellation requests, the check that a server answer
// belongs to the request that was sent, and the cross-transaction event that
// reports an answer which does not.
#pragma once
#include <string>
#include <vector>

// Sets the record's RS for a terminal status and shows its message on "P5"
// (PV_ALL_FINE "01" and nothing shown; 0xFFFF changes nothing).
void ReportTerminalResult(int status);

// 1 when the server answer is acceptable, 0 when it is not (unreadable, SS,
// SV, CD or RS missing or wrong, or another transaction's answer), -1
// without an EFT context. A crossed answer gets RS "37" and queues the
// cross-transaction event.
int CheckServerResponse();
// 1 when a compared tag (UUID) is present in both texts with different
// values; the names of the differing tags go to differing (may be null).
int CompareRequestResponseTags(const char* request, const char* answer, std::vector<std::string>* differing);
// The event (SV "s10", CD "c47", "event-id" "20", "message" the Base64 of
// the R:/A: tags of both texts); empty when either text cannot be parsed.
std::string BuildCrossTransactionEvent(const char* request, const char* answer);

// The requests sent to the server at the end of the transaction, before the
// POS answer leaves.
void QueueEndOfTransactionRequest(const std::string& text);
const std::vector<std::string>& EndOfTransactionRequests();
void ClearEndOfTransactionRequests();

std::string JoinStrings(const std::vector<std::string>& texts, const char* separator);

// The direct-mode request (flag 0: the server request is rebuilt) and the
// cancellation request of a transaction after a ticket problem; both end
// with D12 (and D1R). 0 when every tag was written, 1 otherwise.
int BuildDirectModeRequest(int flag);
int BuildCancelRequest(int flag, const char* d16, const char* sequence, const char* islandLabel, int currency,
                       int amount, const char* e7);
