#include "service/startup.h"

// The daemon takes no arguments; its root directory comes from KV_ROOT.
int main() { return runService(); }
