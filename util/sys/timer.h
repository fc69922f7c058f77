// Timers, watchdog and worker count: the exports are in sorvan.h.
#pragma once

#include "util/sorvan.h"
