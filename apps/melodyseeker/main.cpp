// The MelodySeeker service. All logic lives in src/service/mainunit so that tests drive the same
// code; this file only hands over the command line.
#include "service/mainunit.h"

int main(int argc, char** argv) { return MelodySeekerMain(argc, argv); }
