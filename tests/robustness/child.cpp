// The child program the robustness tests start: it ends at once with the exit code
// its first argument names (0 without one).
#include <cstdlib>

int main(int argc, char** argv) { return argc > 1 ? std::atoi(argv[1]) : 0; }
