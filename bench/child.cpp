// The program the process rows start: it ends at once with code 7.
int main() { return 7; }
