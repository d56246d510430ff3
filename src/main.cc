// Entry of tuvo_2: converts the collection in the current directory.
#include "run/run.h"

int main() { return run_conversion(); }
