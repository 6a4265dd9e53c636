// Checks on the card data of a stripe or keyboard read: the private card
// ranges of a retailer's own programme, the Luhn check digit of the card
// number, and the ISO 2 track check that splits the track into card number,
// expiry, service code and discretionary data.
#pragma once

// 0 when the number (a track or a card number, optionally after a 'B') lies
// in a private range of the chosen table (the QY table when forceQy is set
// or TradingNameSpecificBehavior holds "QY", else DUREMONT, else PERLAN);
// 1 otherwise, also when no table applies.
int IsPrivateCard(const char* card, int forceQy);
// 0 when the transaction record's card number ends in its Luhn check digit,
// 1 otherwise (an empty number included).
int CheckLuhn();
// Checks the card-read record's track (eventData, eventLength) and fills the
// card-number fields of the transaction record; 1 accepted, 0 refused.
int CheckIso2Track();
