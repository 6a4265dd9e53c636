// The names of the named objects a process has open (shared blocks, named
// mutexes), kept where a signal handler can give them up.
//
// A process that a signal ends never runs its destructors, so the objects it
// alone had open would stay in /dev/shm. Each open object is listed here with
// the descriptor that holds its users lock (see shared_memory.h and
// named_mutex.h) and the paths of its files, prepared in advance;
// ReleaseRegisteredNames() does what the last user's close does (remove the
// files when no other process holds the lock) with async-signal-safe calls
// only. The table is lock-free: slots are claimed and published with atomic
// operations, so a handler that interrupts an opening or a closing sees
// either the whole slot or none.
#pragma once
#include <sys/types.h>

#include <string>

namespace plat {

// Lists an open object: lockFd holds the shared users lock of the object and
// must name the file at lockPath; removePaths (one or two, the second may be
// empty) are the files removed when no other process holds that lock. The
// slot number, or -1 when a path is too long or the table is full (the
// object is then left as before, for the next opener to take over).
int RegisterNamesForRelease(int lockFd, const std::string& lockPath, const std::string& removePath,
                            const std::string& secondRemovePath = {});
// Takes an object off the list (before its descriptor is closed). -1 is
// ignored.
void UnregisterNamesForRelease(int slot);
// For every object this process listed that no other process uses, removes
// its files. Async-signal-safe; meant for a handler that then ends the
// process (the users locks it takes are kept).
void ReleaseRegisteredNames();

}  // namespace plat
