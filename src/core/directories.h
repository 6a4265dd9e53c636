// Small file and directory services on top of the process-wide file search:
// a search that returns full paths, file deletion and size, a directory check
// that can create the directory, and the emptying or removal of a directory.
//
// Main thread only: the search and the texts below are process-wide and
// unlocked. WFindFirstFile, WCheckDirectory and WSysRemoveDirectoryEx all
// restart the search, so a walk with WFindNextFile must not call them.
#pragma once

// Sizes of the process-wide texts (characters, without the NUL). A path that
// does not fit is refused, never cut: a cut path would name another file.
constexpr int WSEARCH_DIRECTORY_MAX = 99;   // directory of the current search
constexpr int WSEARCH_PATH_MAX = 119;       // full path returned, search pattern
constexpr int WDELETE_PATH_MAX = 199;       // path built by WDeleteFile

// Starts a search for the name pattern in the directory and returns the first
// entry as "directory/name" (a process-wide text, overwritten by the next
// call). Null when the directory is null or empty, the pattern is null,
// nothing matches, or the directory or pattern is too long. Entries include
// directories, "." and ".." among them; an entry whose full path would not fit
// is skipped.
char* WFindFirstFile(const char* directory, const char* pattern);
// The next entry of that search in the same form; null when there is none.
char* WFindNextFile();

// Deletes "directory/name" (the name alone when the directory is null); a
// symbolic link is removed as a link. 1, or -1 when the deletion fails, the
// name is null or the path is too long.
int WDeleteFile(const char* directory, const char* name);

// Size in bytes of the file; -1 when it cannot be read (null path, missing
// file, not a regular file).
long long WGetFileSize(const char* path);

// 1 when the search finds the path (a directory, or a file of that name).
// Otherwise -2 with the create flag 0; else the directory is created and
// searched again: 2 when found, -2 when not. -1 for a null or too long path.
int WCheckDirectory(const char* path, int create);

// Deletes every entry of the directory that is not a directory (subdirectories
// and their contents stay); symbolic links are removed as links, never
// followed, and a directory given as a symbolic link is not emptied. With the
// remove flag, then removes the directory itself: when that fails, traces (with
// messages on) that it is not a directory and deletes it as a file, tracing an
// error when that fails too. 1 done, 0 failed (null or too long directory).
int WSysRemoveDirectoryEx(const char* directory, int remove, int messages);
// WSysRemoveDirectoryEx with messages on; always 1.
int WSysRemoveDirectory(const char* directory, int remove);
