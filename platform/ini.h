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
// so a crash never leaves a torn file. 0 on success. A new file gets 0644 less the umask;
// an existing one keeps its mode. Where the folder refuses the temporary file or the
// rename (a confined service may write the file but not its folder), an existing file
// is rewritten in place instead, with a level-2 line saying so: not atomic, but the
// only way the file can change there.
int ini_file_save(ini_file* handle, const char* path, int flags);

// As ini_file_save, with `new_mode` (less the umask) for a file that does not exist
// yet. The file appears under its name only through the rename, complete.
int ini_file_save_mode(ini_file* handle, const char* path, unsigned new_mode);

// Removes the temporary files that saves of `path` left beside it when their process
// died before the rename. Only one process may save `path` at a time. Returns how many
// it removed.
int ini_file_remove_stale_temps(const char* path);

// Releases a handle from ini_file_load; null is accepted.
void ini_file_free(ini_file* handle);

// A new empty handle (for writers that start from nothing).
ini_file* ini_file_new();
