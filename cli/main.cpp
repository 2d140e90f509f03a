#include <cstdio>

int main() {
    std::puts("Tarnwick: not built yet");
    return 1;
}
