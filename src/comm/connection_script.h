// Connection control and connection scripts: a resource that reaches its
// peer through a modem or an X.25 PAD is connected and hung up by a script
// of parameter lines that lists, per media and adapter, the commands to send
// and the answers to wait for. Commands go out through PortEmist, answers
// come in through the port API. Main thread only (the interpreter's state is
// process-wide).
#pragma once
#include <cstdint>

struct KTDK_FILE;

constexpr int SCRIPT_VAR_TEXT = 81;  // 80 characters and a terminator
constexpr int SCRIPT_COMMAND_MAX = 20;
constexpr int SCRIPT_ARGUMENT_MAX = 200;
constexpr int SCRIPT_DEFAULT_TIMEOUT = 10;  // seconds

struct ScriptVar {
    char name[SCRIPT_VAR_TEXT];
    char value[SCRIPT_VAR_TEXT];
};

// End codes of the send commands.
constexpr int SCRIPT_END_NONE = 0;
constexpr int SCRIPT_END_CR = 1;
constexpr int SCRIPT_END_LF = 2;
constexpr int SCRIPT_END_CRLF = 3;

int PhoneCall(int port, const char* phone, const char* address, const char* data, const char* password);
int PrePhoneCall(int port, KTDK_FILE* script, int media, int adapter, int count, ScriptVar* variables);
int PhoneHangUp(int port);
int PhoneDirectIPChange(int port, const char* host, const char* service);
int WEBACall(int port, const char* phone, const char* address, const char* data, const char* password);

int WCOMPlayScript(int port, KTDK_FILE* script, int count, ScriptVar* variables);
int WCOMSendCommand(int port, const char* text, int end);
int WCOMSendHexCommand(int port, const char* hex, int end);
// The text is lowered in place.
int WCOMWaitForMess(int port, int seconds, char* text);
int WCOMWaitForHexMess(int port, int seconds, const unsigned char* bytes, int count);
int WCOMWaitForHayes(int port, int seconds);
int WCOMWaitForPad(int port, int seconds);
int WCOM_waitForRegex(int port, int seconds, const char* pattern);

int WCOMFindSection(KTDK_FILE* script, const char* key, int first);
int WCOMGetNextCommand(KTDK_FILE* script);
int WCOMSubstituteVariable(const ScriptVar* variable);
int WCOMCountPlaceholders();
int WCOMHasComplementData(int count, const ScriptVar* variables);

// The interpreter's current command, argument and wait time-out (seconds).
const char* WCOMCurrentCommand();
const char* WCOMCurrentArgument();
void WCOMSetCurrentArgument(const char* argument);
int WCOMCurrentTimeout();

// The six variables PhoneCall builds, in its order.
void WCOMBuildPhoneVariables(const char* phone, const char* address, const char* data, const char* password,
                             ScriptVar variables[6]);
