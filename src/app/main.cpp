// trv_71: the console program of one station.
#include "app/startup.h"

int main(int argc, char** argv) { EndProcess(TrvMain(argc, argv)); }
