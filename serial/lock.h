// Exclusive use of a serial device: the UUCP lock file that terminal programs on Linux
// honour, named after the device with symbolic links resolved, so /dev/serial/by-id/...
// and the ttyUSB0 it points to share one lock.
//
// Interface summary:
//   port_lock (device_path, port_fd, why, size)  0 when the port may be ours (our lock
//                                       file written; or no usable lock directory); -1 when another
//                                       live process holds it: `why` names it. A lock file with no
//                                       process number is stale only when it is older than a few
//                                       seconds and nobody holds the flock of port_fd (the open
//                                       device; -1: not known)
//   port_unlock ()                      removes our lock file; nothing when we hold none (a
//                                       clean-up of the run: closing the port removes it too)
//   set_lock_directory (directory)     where lock files go; null: the system's directory
//   lock_file_name (device_path, out, size)  "LCK..ttyUSB0" for /dev/ttyUSB0,
//                                       "LCK..pts_3" for /dev/pts/3
#pragma once

#include <climits>
#include <cstddef>

struct port_lock_state {
    // The seam: null takes the system's directory (/run/lock, else /var/lock); a test
    // build points it elsewhere.
    const char* directory = nullptr;
    char path[PATH_MAX] = "";  // our lock file, empty while we hold none
};

extern port_lock_state port_lock_files;

int port_lock(const char* device_path, int port_fd, char* why, size_t size);
void port_unlock();
void set_lock_directory(const char* directory);
void lock_file_name(const char* device_path, char* out, size_t size);
