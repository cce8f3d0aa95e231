// Empties the current user's WinInet URL cache. Not built out yet: it exits with 0.
int main() { return 0; }
