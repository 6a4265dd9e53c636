// Server dialogue of a transaction, as far as the application core needs it.
#pragma once

struct EFTCBox;
struct TransactionRecord;

// SNI text of the current server of the current network resource; the empty
// text for a null pointer or an index out of range.
const char* GetCurrentServerSni(const EFTCBox* context, const TransactionRecord* record);
