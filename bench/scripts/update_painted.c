#include "keva.h"
int main() { int i; for (i = 0; i < 2000; i++) update(0); return 0; }
