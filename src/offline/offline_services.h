// Offline mode and functional tests as the application core calls them.
// Least behaviour for now: nothing is stored offline and no functional test
// exists.
#pragma once

struct EFTCBox;

// State 200: runs the functional test of the request's CD; none exists, so
// the loop goes back to idle.
int runFunctionalTests();
// State of the offline transaction files: 0 (nothing stored), counts 0.
int TOF_TrsFileGetState(EFTCBox* context, int* stored, int* sent, int* refused);
// Uploads the stored offline transactions; the number sent.
int Offline_UploadTransactions(int flag);
