// Display zones of the per-application box's console and the trace zone.
// Not built yet: the box has no console, so no zone exists.
#pragma once

struct EFTCBox;

// Sets up the text manager and the console zones; 1, or negative.
int TOC_OpenTextZones(EFTCBox* context, const char* textFile);
// Trace hook: appends a finished line to the trace zone. While no zone exists
// the line goes to standard error, so that it is not lost.
int TOC_ZoneTraceWriter(const char* text);
