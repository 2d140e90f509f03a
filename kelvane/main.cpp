#include "Kelvane.h"

int main(int argc, char** argv) { return kv::kelvane_main(argc, argv); }
