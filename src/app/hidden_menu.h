// The hidden service menu on "P5" (key 'C' on the pad during a terminal
// wait, or at the card wait in touch mode): manual card or cheque entry, the
// upload of the offline transactions, the forced and normal maintenances and
// the logo load. A choice that replaces the running request sets the loop's
// state and Options.SpecialMenu 2. The program hands it to the payment logic
// as a hook (station/program_hooks.h).
#pragma once

void HiddenServiceMenu();
