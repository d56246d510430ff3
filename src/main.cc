// Entry of tuvo_2: converts the collection in the current directory.
#include "run/run.h"

int main() {
  open_standard_streams();
  return run_conversion();
}
