// Print record of the terminal printer operations (13 print a text, 16 the
// logo by its file name in `bytes`): the same record whatever the printer's
// protocol, so a caller builds one record for every module.
#pragma once
#include "protocols/print_block.h"

using TermPrintRecord = PrintCommandBlock;
