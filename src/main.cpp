#include "tambrix.h"

int main(int argc, char **argv) { return tambrix_main(argc, argv); }
