int main() { int i; int s; s = 0; for (i = 0; i < 5000000; i++) s = s + (i - 2500000); return s & 127; }
