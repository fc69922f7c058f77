// zlib helpers: declared in the library header's "Compression".
#pragma once
#include "sorvan.h"
