// MD5 and MD5-crypt: declared in the library header's "Password hashing".
#pragma once
#include "util/sorvan.h"
