// trv_71: the console program of one station.
#include <cstdio>

int main(int argc, char** argv) {
    (void)argc;
    (void)argv;
    std::puts("trv_71");
    return 0;
}
