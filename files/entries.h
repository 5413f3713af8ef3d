// File entries, their queues, the command-line lists and the path operations.
//
// Interface summary:
//   new_entry (name) -> entry or null (no memory); free_entry (entry)
//   queue_append (q, entry)    null entry: fatal internal error 3
//   queue_pop (q) -> entry or null;  queue_free_all (q)
//   add_upload_name (name, status) -> entries made
//   add_request_name (name), add_receive_name (name) -> 1 made, 0 no memory
//   expand_argument (argument, apply)   '@' list files; exits 10 when one cannot be opened
//   dir_list_free_all (list)   frees every directory node
//   add_argument_name (name)   dispatch by settings.name_mode
//   split_at_blank (text) -> second word, or null when there is no blank
//   split_path (path, dir, dir_size, name, name_size) -> 0, or -1 when a part does not fit
//   make_path (out, out_size, dir, name, extension) -> 0, or -1 when it does not fit
//   file_exists (path) -> 1/0;  file_length (fd) -> size or 0;  open_file (...) -> fd or -1
//   dos_time (t), dos_date (t)
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <ctime>

static_assert(std::endian::native == std::endian::little,
              "the offer record is copied straight out of a file_entry");

constexpr int NAME_PART_SIZE = 1024;  // directory or name part of a path
constexpr int PATH_SIZE = 2048;       // a joined path

struct file_entry {
    file_entry* next;
    file_entry* prev;
    uint8_t status;   // 1 local name, 0 peer's request, later a status letter
    int32_t offset;   // where the transfer starts
    // time, date, size and name lie contiguous: together they are the offer record.
    uint16_t time;
    uint16_t date;
    int32_t size;
    char name[];
};

static_assert(offsetof(file_entry, date) == offsetof(file_entry, time) + 2);
static_assert(offsetof(file_entry, size) == offsetof(file_entry, time) + 4);
static_assert(offsetof(file_entry, name) == offsetof(file_entry, time) + 8);

constexpr int OFFER_HEADER_SIZE = 8;

struct file_queue {
    file_entry* head = nullptr;
    file_entry* tail = nullptr;
};

struct dir_node {
    dir_node* next;
    char path[];
};

struct dir_list {
    dir_node* head = nullptr;
    dir_node* tail = nullptr;
};

struct files_state {
    file_queue upload_queue;
    file_queue request_queue;
    file_queue receive_names;
    dir_list upload_dirs;
    dir_list extra_dirs;
    char download_dir[NAME_PART_SIZE] = "";
    int receive_names_given = 0;
};

extern files_state files;

file_entry* new_entry(const char* name);
void free_entry(file_entry* entry);
void queue_append(file_queue* queue, file_entry* entry);
file_entry* queue_pop(file_queue* queue);
void queue_free_all(file_queue* queue);

int add_upload_name(const char* name, int status);
int add_request_name(const char* name);
int add_receive_name(const char* name);
void expand_argument(const char* argument, void (*apply)(const char* name));
void add_argument_name(const char* name);
void dir_list_free_all(dir_list* list);

char* split_at_blank(char* text);
int split_path(const char* path, char* directory, size_t directory_size, char* name,
               size_t name_size);
int make_path(char* out, size_t out_size, const char* directory, const char* name,
              const char* extension);
int file_exists(const char* path);
int32_t file_length(int fd);
int open_file(const char* path, int access, int sharing, int permissions);
uint16_t dos_time(time_t timestamp);
uint16_t dos_date(time_t timestamp);
