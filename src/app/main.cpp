// trv_71: the console program of one station.
#include "app/startup.h"
#include "platform/console_keyboard.h"

int main(int argc, char** argv) {
    // The keyboard of the console, when the program runs on a terminal.
    plat::OpenKeyboard();
    EndProcess(TrvMain(argc, argv));
}
