// Bounded formatting: always NUL-terminates; returns what vsnprintf returns.
#pragma once

#include <cstddef>

int str_snprintf(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
