// Protected card number: the storage certificate whose public key protects the
// card numbers that are kept. Not built yet: no certificate is ever loaded.
#pragma once

// 1 loaded; 0 no certificate configured; -1 to -7 failure.
int LoadStorageCertificate();
