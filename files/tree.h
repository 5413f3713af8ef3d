// Whole directory trees: the files under a directory named with --recursive, each with its
// path relative to the directory's parent, and the receiver's directories made under its
// download directory without following a link.
//
// Interface summary:
//   add_tree (dir) -> entries made, appended to upload_queue: every regular file under the
//                     directory (the name its local path, the alias its relative path), and
//                     every directory after what lies in it (alias ending in '/'), so that
//                     its time can be set once its files are written.
//                     A link to a file inside the tree is sent as that file; any other link,
//                     a special file, a name the peer would refuse, a path deeper than
//                     TREE_MAX_DEPTH or longer than TREE_PATH_MAX is skipped and reported
//                     (the console and the summary's list of names not sent)
//   add_requested_tree (name) -> entries made: the peer's request for a directory (its base
//                     name looked up like any requested name, in the upload directories; a
//                     link is never followed) listed as a tree
//   shown_name (entry) -> what a person sees of it: a tree's relative path, else its name
//   tree_entry (entry) -> true for a tree's entry (add_tree's, or a received one whose
//                     offer carried a path);  tree_directory (entry) -> true for a directory
//   tree_path_refused (path) -> null when a relative path may be made under the download
//                     directory, else why not: an empty, '.', '..' or absolute component,
//                     more than TREE_MAX_DEPTH levels, a character a name may not hold
//   open_tree_directory (base, directories, mode, &reason) -> a descriptor (O_DIRECTORY) of
//                     base/directories, each component opened from the one before with
//                     O_NOFOLLOW and created (mode & ~umask; mode -1: never) when missing;
//                     -1 and the reason
//                     when a component exists as anything but a directory, or cannot be made
//                     (directories empty: base itself)
#pragma once

#include "files/entries.h"

constexpr int TREE_MAX_DEPTH = 32;  // components of a relative path, the file's included
// Bytes of a relative path, without its NUL: what a tree's offer carries after its header and
// flags byte in the 528 bytes of the offer channel (the session checks it).
constexpr int TREE_PATH_MAX = 502;

int add_tree(const char* directory);
int add_requested_tree(const char* name);
const char* shown_name(const file_entry* entry);
bool tree_entry(const file_entry* entry);
bool tree_directory(const file_entry* entry);
const char* tree_path_refused(const char* path);
int open_tree_directory(const char* base, const char* directories, int mode, const char** reason);
