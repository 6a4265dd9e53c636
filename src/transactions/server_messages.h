// Names of the server message types in the trace.
#pragma once

// Traces the name of a four-character server message type; the body (or
// null) tells begin from end for 9996 and 9995 by its eighth character.
void LogServerMessageType(const char* type, const char* body);
