// User events of the console: a key wait or a data entry on a window, where
// the window's resource number says (the PC console's keyboard for 41, the
// interface script engine for a window shown elsewhere), and the event
// record that a key fills. Main thread only.
#pragma once
#include <cstdint>

struct ConsoBox;

// The event record (204 bytes), made at the first key event and kept until
// the process ends.
struct TwaeEvent {
    char document[81];  // the console's identifier
    char element[81];   // the console's current window name
    char type[21];      // "COMMANDE"
    uint8_t key;
    uint8_t reserved[20];
};

// Waits for a key in a window. The time-out (seconds) becomes the console's
// time-out first. Resource 41 not shown by an interface resource: the
// keyboard, for the time-out when it is above 0, else a look. 41 bound, 45,
// 47, 61, 65, 67: a TOUCH command, its result read again while it is not
// there, for at most the time-out plus 500 ms. Other resources, or no such
// window: no key. 1 and the event record filled for a key, 0 for none, -1
// for a cancel key (0xD0-0xDF) or when the record cannot be made.
int TWAE_Action(ConsoBox* console, const char* name, int timeout, int flush);
// A data entry in a window, with the console's time-out: the local entry
// for resource 41 not bound, a DATUM command for the interface resources.
// field holds capacity bytes; a width that leaves no room for its NUL gives
// no entry. 2 when it ended with key 131 or 132, 1 for another key, 0 for
// none, -1 for a cancel key; the event record is filled when positive.
int TWAE_Info(ConsoBox* console, const char* name, int row, int column, int width, char* field, int capacity,
              const char* format);
// The key of the event record, 255 when there is none yet.
int TWAE_GetEventKey();
