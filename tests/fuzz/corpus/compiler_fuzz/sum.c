int f(a, b) { return a + b; }
main() { return f(1, 2); }
