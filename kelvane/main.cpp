#include <cstdio>

int main() {
    std::puts("kelvane: not built yet");
    return 1;
}
