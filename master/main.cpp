// kord: the Tessaron master server.
#include "master/kord.h"

int main(int argc, char **argv) { return kord::service_entry(argc, argv); }
