// The server request of a card transaction: the cash register's request with
// the card data, the candidate list of a chip or contactless read and the
// transaction's identification tags, written before its end tag.
#pragma once

// Builds the request in the server request buffer and keeps its copy as the
// last server request. 0 ready, 1 on failure (traced under "[SERVER]").
int BuildServerRequest();
// Appends the candidate-list tags of a chip or contactless read: 0 (also
// when there is nothing to add), 1 when a mandatory field is missing or a
// tag cannot be written.
int AddCandidateListTags();
// Advances option TransactionNumber (its value + 1, 1 after 999, "%03d")
// and saves it in the options file. The new number.
int AdvanceTransactionNumber();
