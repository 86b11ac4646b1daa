// INI files on iniparser. Section and key names are case-insensitive.
#pragma once

struct ini_file;

// Loads a file; null when it cannot be read or parsed.
ini_file* ini_file_load(const char* path);

// The value of section/key, owned by the handle and valid until the next set or free;
// null when the key is absent.
const char* ini_file_get(ini_file* handle, const char* section, const char* key);

// Sets or adds a key (and its section). 0 on success.
int ini_file_set(ini_file* handle, const char* section, const char* key, const char* value);

// Writes the handle to `path` through a temporary file renamed over the old one,
// so a crash never leaves a torn file. 0 on success.
int ini_file_save(ini_file* handle, const char* path, int flags);

// Releases a handle from ini_file_load; null is accepted.
void ini_file_free(ini_file* handle);

// A new empty handle (for writers that start from nothing).
ini_file* ini_file_new();
