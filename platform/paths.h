// Path expansion: "@/" stands for the folder of the running executable.
#pragma once

#include <cstddef>

// Expands `pattern` into `buffer`; a pattern without "@/" is copied unchanged.
// 0 on success, -1 when the result does not fit (the buffer then holds "").
int dirutils_path_transform(const char* pattern, char* buffer, size_t size);

// Makes "@/" stand for `dir` instead of the executable's folder; null restores the default.
// For tools and tests that work on an installation tree other than their own.
void dirutils_set_root(const char* dir);
