// Start of a transaction for the card-data record.
#include "protocols/pot.h"

#include <cstring>

#include "protocols/doran/doran_emv.h"
#include "protocols/ruda/ruda_level2.h"

void POT_StartTransaction(POT* pot) {
    if (pot != nullptr) std::memset(pot, 0, sizeof *pot);
    DRN_FreeAuthentificationBuffer();
    RUDA_ResetCardDialogue();
}
