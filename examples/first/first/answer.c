// Called from main.c with call(): its main() result is call()'s result.
int main() { return 6 * 7; }
